#pragma once

#include <QBoxLayout>
#include <QWidget>

#include <map>
#include <string>
#include <vector>

namespace sonarill::ui {

// The widgets of a list of records, kept by each record's identity (`id()`) across refreshes, so
// a row under the mouse stays the same widget as long as its record is listed. `W` has
// `bool display(const Record&, bool restructure)`, which returns false when it left part of itself
// out of date.
template <typename W> class KeyedWidgets {
public:
    explicit KeyedWidgets(QBoxLayout* layout) : layout_(layout) {}

    // Shows `records`. When `restructure`, widgets are made, deleted and ordered to match them;
    // otherwise only widgets that exist are updated. Returns whether everything is up to date.
    template <typename Record, typename Make>
    bool display(const std::vector<Record>& records, bool restructure, Make make) {
        bool complete = true;
        std::map<std::string, W*> kept;
        std::vector<QWidget*> ordered;
        for (const Record& record : records) {
            if (kept.count(record.id()) != 0)
                continue;
            W* widget = nullptr;
            if (const auto found = widgets_.find(record.id()); found != widgets_.end()) {
                widget = found->second;
                widgets_.erase(found);
                complete = widget->display(record, restructure) && complete;
            } else if (restructure) {
                widget = make(record);
            } else {
                complete = false;
                continue;
            }
            kept.emplace(record.id(), widget);
            ordered.push_back(widget);
        }
        if (!restructure) {
            complete = complete && widgets_.empty() && sameOrder(ordered);
            kept.merge(widgets_);
            widgets_ = std::move(kept);
            return complete;
        }
        for (auto& [key, widget] : widgets_)
            delete widget;
        widgets_ = std::move(kept);
        if (!sameOrder(ordered)) {
            for (QWidget* widget : ordered)
                layout_->removeWidget(widget);
            for (QWidget* widget : ordered)
                layout_->addWidget(widget);
        }
        return complete;
    }

    bool empty() const { return widgets_.empty(); }
    QBoxLayout* layout() const { return layout_; }

private:
    bool sameOrder(const std::vector<QWidget*>& ordered) const {
        if (layout_->count() != static_cast<int>(ordered.size()))
            return false;
        for (int i = 0; i < layout_->count(); ++i)
            if (layout_->itemAt(i)->widget() != ordered[static_cast<size_t>(i)])
                return false;
        return true;
    }

    QBoxLayout* layout_;
    std::map<std::string, W*> widgets_;
};

} // namespace sonarill::ui
