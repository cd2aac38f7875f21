#include "ui/ErrorAlert.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/Brain.h"

namespace vesh {

ErrorAlert::ErrorAlert(Brain& brain, QWidget& window) : QObject(&window), brain_(brain), window_(window) {
    connect(&brain_, &Brain::alertIsDisplayedChanged, this, &ErrorAlert::update);
    connect(&brain_, &Brain::errorChanged, this, &ErrorAlert::updateTexts);
    update();
}

ErrorAlert::~ErrorAlert() {
    if (box_) {
        box_->disconnect(this);
    }
}

void ErrorAlert::update() {
    if (brain_.alertIsDisplayed() && !box_) {
        box_ = new QMessageBox(&window_);
        box_->setAttribute(Qt::WA_DeleteOnClose);
        box_->setObjectName(QStringLiteral("errorAlert"));
        box_->setIcon(QMessageBox::Warning);
        box_->setWindowTitle(QStringLiteral("Vesh"));
        box_->setStandardButtons(QMessageBox::Ok);
        box_->button(QMessageBox::Ok)->setIcon(QIcon());
        box_->setWindowModality(Qt::WindowModal);
        updateTexts();
        connect(box_, &QMessageBox::finished, this, [this] {
            box_ = nullptr;
            brain_.setAlertIsDisplayed(false);
        });
        box_->open();
    } else if (!brain_.alertIsDisplayed() && box_) {
        QMessageBox* box = box_;
        box_ = nullptr;
        box->disconnect(this);
        box->close();
    }
}

void ErrorAlert::updateTexts() {
    if (!box_) {
        return;
    }
    const auto& error = brain_.error();
    box_->setText(error ? QString::fromStdString(error->description()) : QString());
    box_->setInformativeText(error ? QString::fromStdString(error->informativeText()) : QString());
}

}  // namespace vesh
