#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Named notifications within this process, as Foundation's default notification centre delivers
// them: synchronously, on the posting thread, to every observer of the name.
namespace sonarill::platform {

// Posted after the configuration file was deleted; the routing model resets to its defaults.
inline constexpr std::string_view kResetConfigNotification = "SonarillResetConfig";

class NotificationCenter {
    struct State;
    struct Entry;

public:
    // An observation; destroying it or calling remove() ends it. Once remove() returns the
    // callback is not running on another thread and will not run again, so what it uses may be
    // destroyed next. Removing from inside any observer's callback is safe. Outliving the centre
    // is harmless.
    class [[nodiscard]] Observer {
    public:
        Observer() = default;
        Observer(Observer&&) noexcept = default;
        Observer& operator=(Observer&& other) noexcept;
        Observer(const Observer&) = delete;
        Observer& operator=(const Observer&) = delete;
        ~Observer() { remove(); }

        void remove();

    private:
        friend class NotificationCenter;
        Observer(std::weak_ptr<State> state, std::shared_ptr<Entry> entry);
        std::weak_ptr<State> state_;
        std::shared_ptr<Entry> entry_;
    };

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre the application's parts talk through.
    static NotificationCenter& defaultCenter();

    // From any thread. `callback` runs for each later post of `name`.
    Observer observe(std::string name, std::function<void()> callback);
    // From any thread. Runs the callbacks of the observers of `name` registered now, in the
    // order they registered, before returning. An observer added by a callback first hears the
    // next post.
    void post(std::string_view name);

private:
    std::shared_ptr<State> state_;
};

} // namespace sonarill::platform
