#pragma once

#include <QAbstractButton>
#include <QString>
#include <QWidget>

#include "ui/Appearance.h"

namespace vesh {

// Draws one symbol image, centred, in a label colour of the current palette
// and at an opacity of its own; dimmed further while disabled.
class SymbolView : public QWidget {
    Q_OBJECT

public:
    SymbolView(QString systemName, int symbolSize, LabelLevel level, double opacity, QWidget* parent = nullptr);

    const QString& systemName() const { return systemName_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString systemName_;
    int symbolSize_;
    LabelLevel level_;
    double opacity_;
};

// A borderless button drawn as a symbol image in the secondary label colour,
// in the primary colour while pressed, ringed while it has the keyboard focus.
class SymbolButton : public QAbstractButton {
    Q_OBJECT

public:
    SymbolButton(QString systemName, int symbolSize, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString systemName_;
    int symbolSize_;
};

}  // namespace vesh
