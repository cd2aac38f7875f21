#include "ui/ContentView.h"

#include <QHBoxLayout>
#include <QSplitter>

#include <algorithm>

#include "ui/DropView.h"
#include "ui/Sidebar.h"

namespace vesh {

ContentView::ContentView(Brain& brain, QWidget* parent)
    : QWidget(parent), splitter_(new QSplitter(Qt::Horizontal, this)), sidebar_(new Sidebar(brain, splitter_)),
      dropView_(new DropView(brain, splitter_)), expandedSidebarWidth_(Sidebar::minimumSidebarWidth) {
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(sidebar_);
    splitter_->addWidget(dropView_);
    splitter_->setCollapsible(0, true);
    splitter_->setCollapsible(1, false);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setHandleWidth(1);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter_);

    sidebarAnimation_.setDuration(sidebarAnimationMilliseconds);
    sidebarAnimation_.setEasingCurve(QEasingCurve::InOutCubic);
    connect(&sidebarAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setSidebarWidth(value.toInt()); });
    connect(&sidebarAnimation_, &QVariantAnimation::finished, this, [this] {
        // Back to the sidebar's usual minimum; a collapsed sidebar stays at zero.
        sidebar_->setMinimumWidth(Sidebar::minimumSidebarWidth);
        setSidebarWidth(sidebarAnimation_.endValue().toInt());
        sidebarCollapsed_ = sidebarAnimation_.endValue().toInt() == 0;
        // A hidden sidebar takes no room, so the window may shrink to the drop area.
        sidebar_->setVisible(!sidebarCollapsed_);
        emit sidebarCollapsedChanged(sidebarCollapsed_);
    });
    connect(splitter_, &QSplitter::splitterMoved, this, [this] {
        const bool collapsed = splitter_->sizes().value(0) == 0;
        if (sidebarAnimation_.state() != QAbstractAnimation::Running && collapsed != sidebarCollapsed_) {
            sidebarCollapsed_ = collapsed;
            emit sidebarCollapsedChanged(sidebarCollapsed_);
        }
    });
}

bool ContentView::isSidebarCollapsed() const { return sidebarCollapsed_; }

void ContentView::toggleSidebar() {
    if (sidebarAnimation_.state() == QAbstractAnimation::Running) {
        return;
    }
    const int currentWidth = sidebarCollapsed_ ? 0 : splitter_->sizes().value(0);
    const bool collapse = !sidebarCollapsed_;
    int targetWidth = 0;
    if (collapse) {
        expandedSidebarWidth_ = currentWidth;
    } else {
        targetWidth = std::max(expandedSidebarWidth_, Sidebar::minimumSidebarWidth);
        // Make room for the sidebar rather than squeezing the drop area.
        const int needed = targetWidth + splitter_->handleWidth() + dropView_->minimumWidth();
        if (width() < needed) {
            QWidget* window = this->window();
            window->resize(window->width() + needed - width(), window->height());
        }
    }
    // Let the sidebar pass below its minimum width while it slides.
    sidebar_->setMinimumWidth(0);
    if (!collapse) {
        sidebar_->show();
        setSidebarWidth(0);
    }
    sidebarAnimation_.setStartValue(currentWidth);
    sidebarAnimation_.setEndValue(targetWidth);
    sidebarAnimation_.start();
}

void ContentView::setSidebarWidth(int width) {
    const QList<int> sizes = splitter_->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    splitter_->setSizes({width, std::max(0, total - width)});
}

}  // namespace vesh
