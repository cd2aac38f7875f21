#pragma once

#include <QScrollArea>

namespace vesh {

class Brain;

// The settings column: the Destination, Parameters and Format sections in a
// vertical scroll view over the sidebar background. Disabled as a whole while
// a batch runs, so no setting changes under it.
class Sidebar : public QScrollArea {
    Q_OBJECT

public:
    static constexpr int minimumSidebarWidth = 320;
    static constexpr int spacingBetweenSections = 28;

    explicit Sidebar(Brain& brain, QWidget* parent = nullptr);

    // The column holding the sections.
    QWidget* content() const { return content_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyBackground();

    Brain& brain_;
    QWidget* content_;
};

}  // namespace vesh
