#pragma once

#include <QScrollArea>

#include <array>

namespace vesh {

class Brain;
class SectionFrame;

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
    // The controls of all sections in the order the Tab key visits them.
    QList<QWidget*> controls() const;

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyBackground();

    Brain& brain_;
    QWidget* content_;
    std::array<SectionFrame*, 3> sections_;
};

}  // namespace vesh
