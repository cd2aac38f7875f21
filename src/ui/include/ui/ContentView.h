#pragma once

#include <QVariantAnimation>
#include <QWidget>

class QSplitter;

namespace vesh {

class Brain;
class DropView;
class Sidebar;

// The window's content: the sidebar and the drop area side by side in a
// splitter whose sidebar collapses and expands with an animation.
class ContentView : public QWidget {
    Q_OBJECT

public:
    static constexpr int sidebarAnimationMilliseconds = 250;

    explicit ContentView(Brain& brain, QWidget* parent = nullptr);

    Sidebar* sidebar() const { return sidebar_; }
    DropView* dropView() const { return dropView_; }
    QSplitter* splitter() const { return splitter_; }

    bool isSidebarCollapsed() const;
    // Collapses an expanded sidebar or restores a collapsed one to its last width.
    void toggleSidebar();

signals:
    void sidebarCollapsedChanged(bool collapsed);

private:
    void setSidebarWidth(int width);

    QSplitter* splitter_;
    Sidebar* sidebar_;
    DropView* dropView_;
    QVariantAnimation sidebarAnimation_;
    int expandedSidebarWidth_;
    bool sidebarCollapsed_ = false;
};

}  // namespace vesh
