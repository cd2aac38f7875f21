#include "ui/SectionFrame.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/Appearance.h"
#include "ui/FormIcon.h"

namespace vesh {

namespace {

constexpr double cardFillOpacity = 0.018;
constexpr double cardCornerRadius = 7.0;

class Card : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(withOpacity(labelColor(palette(), LabelLevel::primary), cardFillOpacity));
        painter.setPen(QPen(labelColor(palette(), LabelLevel::quaternary), 1.0));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cardCornerRadius, cardCornerRadius);
    }
};

class Divider : public QWidget {
public:
    explicit Divider(QWidget* parent) : QWidget(parent) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect().adjusted(SectionFrame::rowInset, 0, -SectionFrame::rowInset, 0),
                         labelColor(palette(), LabelLevel::tertiary));
    }
};

}  // namespace

SectionFrame::SectionFrame(const QString& title, QWidget* parent)
    : QWidget(parent), title_(new QLabel(title, this)), card_(new Card(this)), cardLayout_(new QVBoxLayout(card_)) {
    QFont titleFont = title_->font();
    titleFont.setPixelSize(titlePixelSize);
    titleFont.setWeight(QFont::DemiBold);
    title_->setFont(titleFont);
    title_->setContentsMargins(titleIndent, 0, 0, 0);

    cardLayout_->setContentsMargins(0, 0, 0, 0);
    cardLayout_->setSpacing(0);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(title_);
    layout->addWidget(card_);
}

QHBoxLayout* SectionFrame::addRow(const QString& iconName, const QString& help) {
    auto* row = new QWidget(card_);
    row->setToolTip(help);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(rowInset, rowInset, rowInset, rowInset);
    layout->setSpacing(8);
    if (!iconName.isEmpty()) {
        layout->addWidget(new FormIcon(iconName, row), 0, Qt::AlignVCenter);
    }
    addRowWidget(row);
    return layout;
}

void SectionFrame::addRowWidget(QWidget* row) {
    if (cardLayout_->count() > 0) {
        cardLayout_->addWidget(new Divider(card_));
    }
    cardLayout_->addWidget(row);
}

}  // namespace vesh
