#pragma once

#include <QList>
#include <QString>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class QVBoxLayout;

namespace vesh {

// The frame every sidebar section shares: a semibold title and below it a
// card (a rounded rectangle with a faint fill and a hairline stroke) holding
// the section's rows, separated by dividers.
class SectionFrame : public QWidget {
    Q_OBJECT

public:
    static constexpr int titlePixelSize = 13;
    static constexpr int titleIndent = 8;
    static constexpr int rowInset = 10;

    SectionFrame(const QString& title, QWidget* parent = nullptr);

    // A new row at the end of the card: the leading FormIcon of `iconName`
    // (none when empty) and `help` as its tooltip. Fill the returned layout.
    QHBoxLayout* addRow(const QString& iconName, const QString& help);
    // A row of the caller's own at the end of the card.
    void addRowWidget(QWidget* row);
    QWidget* card() const { return card_; }
    // The section's controls in the order the Tab key visits them.
    virtual QList<QWidget*> controls() const = 0;

private:
    QLabel* title_;
    QWidget* card_;
    QVBoxLayout* cardLayout_;
};

}  // namespace vesh
