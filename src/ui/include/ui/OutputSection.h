#pragma once

#include "app/AudioFormat.h"
#include "ui/SectionFrame.h"

class QComboBox;
class QDoubleSpinBox;
class QGraphicsOpacityEffect;
class QLineEdit;
class QPropertyAnimation;
class QPushButton;

namespace vesh {

class Brain;
class SymbolButton;
class TextView;

// "Destination": the output folder with its chooser and clear button, the
// file-name prefix and suffix, and the name an example file would get.
class OutputSection : public SectionFrame {
    Q_OBJECT

public:
    static constexpr double clearButtonOpacity = 0.9;
    static constexpr int clearButtonFadeMilliseconds = 120;

    explicit OutputSection(Brain& brain, QWidget* parent = nullptr);

    // The name a file called "Example" is saved under, with one trailing
    // space: with the chosen format's extension, or, while the output keeps
    // the original's format, a note that the extension is the original's.
    static QString exampleFileName(const QString& prefix, const QString& suffix, AudioFileFormat fileFormat,
                                   bool sameAsOriginal);

    QList<QWidget*> controls() const override;

private:
    void updateFolder();
    void updatePrefix();
    void updateSuffix();
    void updateExample();
    void updateClearButtonOpacity();
    void updateLoudness();
    void chooseLoudness();

    Brain& brain_;
    QPushButton* chooseFolderButton_;
    TextView* folderPath_;
    SymbolButton* clearFolderButton_;
    QGraphicsOpacityEffect* clearFolderOpacity_;
    QPropertyAnimation* clearFolderFade_;
    QLineEdit* prefixField_;
    QLineEdit* suffixField_;
    TextView* example_;
    QComboBox* loudnessChoice_;
    QDoubleSpinBox* customLoudness_;
};

}  // namespace vesh
