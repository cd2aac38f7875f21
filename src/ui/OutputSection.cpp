#include "ui/OutputSection.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>

#include "app/Brain.h"
#include "ui/FilePaths.h"
#include "ui/PlainTextField.h"
#include "ui/SymbolView.h"
#include "ui/TextView.h"

namespace vesh {

namespace {

PlainTextField* makePlainTextField(const QString& title, QWidget* parent) {
    auto* field = new PlainTextField(title, parent);
    field->setObjectName(title.toLower());
    // A path separator or NUL in a name part would move the output out of the
    // chosen folder: such characters are not accepted.
    field->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^/\\x{0}]*")), field));
    return field;
}

}  // namespace

OutputSection::OutputSection(Brain& brain, QWidget* parent)
    : SectionFrame(QStringLiteral("Destination"), parent), brain_(brain) {
    QHBoxLayout* folderRow =
        addRow(QStringLiteral("folder"), QStringLiteral("Select a location where the processed audio will be saved."));
    QWidget* row = folderRow->parentWidget();
    chooseFolderButton_ = new QPushButton(QStringLiteral("Choose a folder"), row);
    chooseFolderButton_->setObjectName(QStringLiteral("chooseFolder"));
    folderPath_ = new TextView(LabelLevel::secondary, Qt::AlignLeft, row);
    folderPath_->setObjectName(QStringLiteral("folderPath"));
    folderPath_->setElideMode(Qt::ElideMiddle);
    clearFolderButton_ = new SymbolButton(QStringLiteral("xmark.circle.fill"), 16, row);
    clearFolderButton_->setObjectName(QStringLiteral("clearFolder"));
    clearFolderButton_->setAccessibleName(QStringLiteral("Clear destination"));
    clearFolderOpacity_ = new QGraphicsOpacityEffect(clearFolderButton_);
    clearFolderOpacity_->setOpacity(clearButtonOpacity);
    clearFolderButton_->setGraphicsEffect(clearFolderOpacity_);
    clearFolderFade_ = new QPropertyAnimation(clearFolderOpacity_, "opacity", this);
    clearFolderFade_->setDuration(clearButtonFadeMilliseconds);
    clearFolderFade_->setEasingCurve(QEasingCurve::InOutQuad);
    folderRow->addWidget(chooseFolderButton_, 0, Qt::AlignVCenter);
    folderRow->addWidget(folderPath_, 1, Qt::AlignVCenter);
    folderRow->addWidget(clearFolderButton_, 0, Qt::AlignVCenter);
    folderRow->addStretch();

    const QString prefixHelp = QStringLiteral("Add an optional prefix to the name of each saved file.");
    const QString suffixHelp = QStringLiteral("Add an optional suffix to the name of each saved file.");
    QHBoxLayout* prefixRow = addRow(QStringLiteral("character.cursor.ibeam"), prefixHelp);
    prefixField_ = makePlainTextField(QStringLiteral("Prefix"), prefixRow->parentWidget());
    prefixRow->addWidget(prefixField_, 1, Qt::AlignVCenter);
    QHBoxLayout* suffixRow = addRow(QStringLiteral("character.cursor.ibeam"), suffixHelp);
    suffixField_ = makePlainTextField(QStringLiteral("Suffix"), suffixRow->parentWidget());
    suffixRow->addWidget(suffixField_, 1, Qt::AlignVCenter);

    QHBoxLayout* exampleRow = addRow(QString(), QString());
    example_ = new TextView(LabelLevel::secondary, Qt::AlignLeft, exampleRow->parentWidget());
    example_->setObjectName(QStringLiteral("example"));
    example_->setElideMode(Qt::ElideMiddle);
    QFont italic = example_->font();
    italic.setItalic(true);
    example_->setFont(italic);
    exampleRow->addWidget(example_, 1);

    // A loudness for publishing: two common targets, or any level in the
    // range the engine takes.
    QHBoxLayout* loudnessRow = addRow(
        QStringLiteral("dial.max"),
        QStringLiteral("Bring each saved file to a loudness for publishing, with peaks kept below -1 dBTP."));
    loudnessChoice_ = new QComboBox(loudnessRow->parentWidget());
    loudnessChoice_->setObjectName(QStringLiteral("loudness"));
    loudnessChoice_->setAccessibleName(QStringLiteral("Loudness"));
    loudnessChoice_->addItem(QStringLiteral("Loudness: Off"));
    loudnessChoice_->addItem(QStringLiteral("Loudness: Podcast (-16 LUFS)"));
    loudnessChoice_->addItem(QStringLiteral("Loudness: Broadcast (-23 LUFS)"));
    loudnessChoice_->addItem(QStringLiteral("Loudness: Custom"));
    customLoudness_ = new QDoubleSpinBox(loudnessRow->parentWidget());
    customLoudness_->setObjectName(QStringLiteral("customLoudness"));
    customLoudness_->setAccessibleName(QStringLiteral("Custom loudness"));
    customLoudness_->setRange(LoudnessTarget::lowestLoudness, LoudnessTarget::highestLoudness);
    customLoudness_->setDecimals(1);
    customLoudness_->setSingleStep(0.5);
    customLoudness_->setSuffix(QStringLiteral(" LUFS"));
    // Where a custom level starts: between the two presets.
    customLoudness_->setValue(-18.0);
    loudnessRow->addWidget(loudnessChoice_, 1, Qt::AlignVCenter);
    loudnessRow->addWidget(customLoudness_, 0, Qt::AlignVCenter);

    connect(chooseFolderButton_, &QPushButton::clicked, this, [this] { brain_.chooseOutputFolder(); });
    connect(clearFolderButton_, &QAbstractButton::clicked, this, [this] { brain_.setOutputFolder(std::nullopt); });
    connect(prefixField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { brain_.setFilenamePrefix(text); });
    connect(suffixField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { brain_.setFilenameSuffix(text); });

    connect(&brain_, &Brain::outputFolderChanged, this, &OutputSection::updateFolder);
    connect(&brain_, &Brain::filenamePrefixChanged, this, &OutputSection::updatePrefix);
    connect(&brain_, &Brain::filenameSuffixChanged, this, &OutputSection::updateSuffix);
    connect(&brain_, &Brain::filenamePrefixChanged, this, &OutputSection::updateExample);
    connect(&brain_, &Brain::filenameSuffixChanged, this, &OutputSection::updateExample);
    connect(&brain_, &Brain::outputFormatChanged, this, &OutputSection::updateExample);
    connect(&brain_, &Brain::outputFormatMatchesInputChanged, this, &OutputSection::updateExample);
    connect(&brain_, &Brain::modelIsProcessingChanged, this, &OutputSection::updateClearButtonOpacity);
    connect(loudnessChoice_, &QComboBox::activated, this, &OutputSection::chooseLoudness);
    connect(customLoudness_, &QDoubleSpinBox::valueChanged, this, &OutputSection::chooseLoudness);
    connect(&brain_, &Brain::loudnessTargetChanged, this, &OutputSection::updateLoudness);

    updateFolder();
    updatePrefix();
    updateSuffix();
    updateExample();
    updateLoudness();
    clearFolderOpacity_->setOpacity(brain_.modelIsProcessing() ? 0.0 : clearButtonOpacity);
}

QString OutputSection::exampleFileName(const QString& prefix, const QString& suffix, AudioFileFormat fileFormat,
                                       bool sameAsOriginal) {
    const QString name = prefix + QStringLiteral("Example") + suffix;
    if (sameAsOriginal) {
        return name + QStringLiteral(".(original extension) ");
    }
    return name + QLatin1Char('.') + QString::fromStdString(fileExtension(fileFormat)) + QLatin1Char(' ');
}

QList<QWidget*> OutputSection::controls() const {
    return {chooseFolderButton_, clearFolderButton_, prefixField_, suffixField_, loudnessChoice_, customLoudness_};
}

namespace {

enum LoudnessChoice { off, podcast, broadcast, custom };

}  // namespace

void OutputSection::updateLoudness() {
    const LoudnessTarget target = brain_.loudnessTarget();
    const std::string name = target.name();
    const int choice = name == "off" ? off : name == "podcast" ? podcast : name == "broadcast" ? broadcast : custom;
    // Shown without telling the brain again.
    const QSignalBlocker blockChoice(loudnessChoice_);
    const QSignalBlocker blockValue(customLoudness_);
    loudnessChoice_->setCurrentIndex(choice);
    if (choice == custom) customLoudness_->setValue(*target.integratedLoudness);
    customLoudness_->setVisible(choice == custom);
}

void OutputSection::chooseLoudness() {
    switch (loudnessChoice_->currentIndex()) {
    case off: brain_.setLoudnessTarget({}); break;
    case podcast: brain_.setLoudnessTarget({LoudnessTarget::podcastLoudness}); break;
    case broadcast: brain_.setLoudnessTarget({LoudnessTarget::broadcastLoudness}); break;
    default: brain_.setLoudnessTarget({customLoudness_->value()}); break;
    }
    // A custom level equal to a preset's reads back as that preset: the list
    // shows what is stored.
    updateLoudness();
}

void OutputSection::updateFolder() {
    const auto& folder = brain_.outputFolder();
    chooseFolderButton_->setVisible(!folder);
    chooseFolderButton_->setEnabled(!folder);
    folderPath_->setVisible(folder.has_value());
    clearFolderButton_->setVisible(folder.has_value());
    const QString path = folder ? toQString(*folder) : QString();
    folderPath_->setText(path);
    folderPath_->setToolTip(path);
}

void OutputSection::updatePrefix() {
    if (prefixField_->text() != brain_.filenamePrefix()) {
        prefixField_->setText(brain_.filenamePrefix());
    }
}

void OutputSection::updateSuffix() {
    if (suffixField_->text() != brain_.filenameSuffix()) {
        suffixField_->setText(brain_.filenameSuffix());
    }
}

void OutputSection::updateExample() {
    example_->setText(exampleFileName(brain_.filenamePrefix(), brain_.filenameSuffix(),
                                      brain_.outputFormat().fileFormat, brain_.outputFormatMatchesInput()));
}

void OutputSection::updateClearButtonOpacity() {
    clearFolderFade_->stop();
    clearFolderFade_->setStartValue(clearFolderOpacity_->opacity());
    clearFolderFade_->setEndValue(brain_.modelIsProcessing() ? 0.0 : clearButtonOpacity);
    clearFolderFade_->start();
}

}  // namespace vesh
