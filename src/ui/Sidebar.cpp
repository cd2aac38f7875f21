#include "ui/Sidebar.h"

#include <QEvent>
#include <QScrollBar>
#include <QVBoxLayout>

#include "app/Brain.h"
#include "ui/Appearance.h"
#include "ui/FormatSection.h"
#include "ui/OutputSection.h"
#include "ui/ParameterSection.h"

namespace vesh {

Sidebar::Sidebar(Brain& brain, QWidget* parent)
    : QScrollArea(parent), brain_(brain),
      content_(new QWidget), sections_{new OutputSection(brain_, content_), new ParameterSection(brain_, content_),
                                       new FormatSection(brain_, content_)} {
    setObjectName(QStringLiteral("sidebar"));
    // The Tab key goes straight to the controls; the column scrolls to show them.
    setFocusPolicy(Qt::NoFocus);
    setMinimumWidth(minimumSidebarWidth);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(true);

    auto* layout = new QVBoxLayout(content_);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(spacingBetweenSections);
    for (SectionFrame* section : sections_) {
        layout->addWidget(section);
    }
    layout->addStretch();
    setWidget(content_);

    connect(&brain_, &Brain::modelIsProcessingChanged, this,
            [this] { content_->setEnabled(!brain_.modelIsProcessing()); });
    content_->setEnabled(!brain_.modelIsProcessing());
    applyBackground();
}

QList<QWidget*> Sidebar::controls() const {
    QList<QWidget*> controls;
    for (const SectionFrame* section : sections_) {
        controls += section->controls();
    }
    return controls;
}

void Sidebar::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        applyBackground();
    }
    QScrollArea::changeEvent(event);
}

void Sidebar::applyBackground() {
    // A slim scroll indicator without arrows, in the label colours of the palette.
    const QColor handle = labelColor(palette(), LabelLevel::tertiary);
    const QColor pressed = labelColor(palette(), LabelLevel::secondary);
    verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { width: 10px; background: transparent; margin: 0; border: none; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 32px;"
                       " margin: 2px 2px 2px 2px; }"
                       "QScrollBar::handle:vertical:pressed { background: %2; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
            .arg(handle.name(QColor::HexArgb), pressed.name(QColor::HexArgb)));
    // The viewport and the column carry the colour; the palette of the
    // sidebar itself stays the application's so that it keeps following it.
    for (QWidget* widget : {viewport(), content_}) {
        QPalette palette = widget->palette();
        palette.setColor(QPalette::Window, sidebarBackgroundColor(this->palette()));
        widget->setPalette(palette);
        widget->setAutoFillBackground(true);
    }
}

}  // namespace vesh
