#pragma once

#include <functional>
#include <memory>

namespace sonarill::ui {

// Counts what must not see its rows rebuilt under it: a pressed slider, a running drag, an open
// rename dialog. Each of those runs nested event loops in which the model's refresh timer and
// device events still fire; the popover only updates values in place until every hold is gone.
class RebuildGate {
    struct State;

public:
    // A hold; the last one to go calls the gate's `onOpen`. Outliving the gate is harmless.
    class [[nodiscard]] Hold {
    public:
        Hold() = default;
        Hold(Hold&&) noexcept = default;
        Hold& operator=(Hold&& other) noexcept;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold() { release(); }
        void release();

    private:
        friend class RebuildGate;
        explicit Hold(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    explicit RebuildGate(std::function<void()> onOpen);
    ~RebuildGate();
    RebuildGate(const RebuildGate&) = delete;
    RebuildGate& operator=(const RebuildGate&) = delete;

    Hold hold();
    bool isHeld() const;

private:
    std::shared_ptr<State> state_;
};

} // namespace sonarill::ui
