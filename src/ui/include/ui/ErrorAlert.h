#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>

namespace vesh {

class Brain;

// Shows `Brain`'s error while its alert flag is raised: a window-modal
// message box titled with the error's description, with its recovery advice
// as the message and one button that dismisses it and lowers the flag.
class ErrorAlert : public QObject {
    Q_OBJECT

public:
    ErrorAlert(Brain& brain, QWidget& window);
    ~ErrorAlert() override;

    // The box on screen, if any.
    QMessageBox* messageBox() const { return box_; }

private:
    void update();
    void updateTexts();

    Brain& brain_;
    QWidget& window_;
    QPointer<QMessageBox> box_;
};

}  // namespace vesh
