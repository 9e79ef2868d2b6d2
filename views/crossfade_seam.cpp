// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/crossfade_seam.h"

#include "core/audio_extensions.h"
#include "core/positions.h"
#include "core/seam_figures.h"
#include "editor/editor_window.h"
#include "views/loop_menu.h"
#include "views/waveform_session.h"
#include "views/waveform_view.h"

#include <QAction>
#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>

#include <cmath>

namespace kestrin::views {

namespace {

// The longest crossfade offered, in milliseconds: far beyond any seam.
constexpr double kLongestCrossfadeMs = 60000;

// The copy Write makes beside the audio.
QString crossfadedName(const QFileInfo& companion) {
    return companion.completeBaseName() + QStringLiteral("-crossfaded.") + companion.suffix();
}

} // namespace

CrossfadeSeamDialog::CrossfadeSeamDialog(sound::SoundEngine& engine,
                                         const sound::CompanionAudio& audio, LoopPoints loop,
                                         QWidget* parent)
    : QDialog(parent), m_engine(engine), m_audio(audio), m_loop(loop) {
    setObjectName(QStringLiteral("crossfadeSeamDialog"));
    setWindowTitle(tr("Crossfade Seam"));
    const QFileInfo companion(audio.path);
    QDialogButtonBox* buttons = createWidgets(companion);
    connectWidgets(buttons, companion);
    if (!m_scratch.isValid()) {
        m_summary->setText(
            tr("Cannot make a scratch folder for the preview: %1").arg(m_scratch.errorString()));
        setBusy(true);
        m_length->setEnabled(false);
        m_preview->setEnabled(false);
        return;
    }
    m_summary->setText(tr("Finding the shortest crossfade after which the seam of %1 is "
                          "seamless…")
                           .arg(companion.fileName()));
    preview(std::nullopt);
}

QDialogButtonBox* CrossfadeSeamDialog::createWidgets(const QFileInfo& companion) {
    auto* layout = new QVBoxLayout(this);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("crossfadeSummary"));
    m_summary->setWordWrap(true);
    m_summary->setTextFormat(Qt::PlainText);
    layout->addWidget(m_summary);

    auto* form = new QFormLayout;
    auto* lengthRow = new QHBoxLayout;
    m_length = new QDoubleSpinBox(this);
    m_length->setObjectName(QStringLiteral("crossfadeLength"));
    m_length->setRange(0.1, kLongestCrossfadeMs);
    m_length->setDecimals(1);
    m_length->setSuffix(tr(" ms"));
    m_preview = new QPushButton(tr("Pre&view"), this);
    m_preview->setObjectName(QStringLiteral("crossfadePreview"));
    lengthRow->addWidget(m_length, 1);
    lengthRow->addWidget(m_preview);
    auto* lengthLabel = new QLabel(tr("&Length:"), this);
    lengthLabel->setBuddy(m_length);
    form->addRow(lengthLabel, lengthRow);
    layout->addLayout(form);

    m_session = new WaveformSession(this);
    m_seam = new SeamView(*m_session, this);
    m_seam->setObjectName(QStringLiteral("crossfadeSeamView"));
    layout->addWidget(m_seam, 1);

    auto* buttons = new QDialogButtonBox(this);
    m_play = buttons->addButton(tr("&Play Seam (F5, F7 auditions)"), QDialogButtonBox::ActionRole);
    m_play->setObjectName(QStringLiteral("crossfadePlay"));
    m_write = buttons->addButton(tr("&Write %1").arg(crossfadedName(companion)),
                                 QDialogButtonBox::ActionRole);
    m_write->setObjectName(QStringLiteral("crossfadeWrite"));
    m_writeAs = buttons->addButton(tr("Write &As…"), QDialogButtonBox::ActionRole);
    m_writeAs->setObjectName(QStringLiteral("crossfadeWriteAs"));
    m_replace = buttons->addButton(tr("&Replace %1…").arg(companion.fileName()),
                                   QDialogButtonBox::ActionRole);
    m_replace->setObjectName(QStringLiteral("crossfadeReplace"));
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    resize(sizeHint().expandedTo(QSize(640, 360)));
    return buttons;
}

void CrossfadeSeamDialog::connectWidgets(QDialogButtonBox* buttons, const QFileInfo& companion) {
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // The length in the field, in frames of the audio.
    const auto typed = [this] {
        return std::int64_t{std::llround(m_length->value() * m_audio.sampleRate / 1000.0)};
    };
    connect(m_preview, &QPushButton::clicked, this, [this, typed] { preview(typed()); });
    // Leaving the field previews a length typed into it, and only then: focus
    // moving on to a button must not start a preview under the click.
    connect(m_length, &QDoubleSpinBox::editingFinished, this, [this, typed] {
        if (m_preview->isEnabled() && m_frames != typed())
            preview(typed());
    });
    connect(m_play, &QPushButton::clicked, this, [this] { playSeam(false); });
    connect(new QShortcut(Qt::Key_F5, this), &QShortcut::activated, m_play, &QPushButton::click);
    connect(new QShortcut(Qt::Key_F7, this), &QShortcut::activated, this, [this] {
        if (m_play->isEnabled())
            playSeam(true);
    });
    connect(m_write, &QPushButton::clicked, this, [this, companion] {
        write(companion.dir().filePath(crossfadedName(companion)), false);
    });
    connect(m_writeAs, &QPushButton::clicked, this, &CrossfadeSeamDialog::writeAs);
    connect(m_replace, &QPushButton::clicked, this, &CrossfadeSeamDialog::replaceCompanion);
}

CrossfadeSeamDialog::~CrossfadeSeamDialog() {
    if (m_engine.isPlaying())
        m_engine.stop();
}

void CrossfadeSeamDialog::setBusy(bool busy) {
    const bool written = !busy && m_frames.has_value();
    m_play->setEnabled(written);
    // Once replaced, the companion holds this crossfade: writing or previewing
    // again would crossfade the crossfaded audio a second time.
    for (QPushButton* button : {m_write, m_writeAs, m_replace})
        button->setEnabled(written && !m_replaced);
    m_preview->setEnabled(!busy && !m_replaced);
    m_length->setEnabled(!m_replaced);
}

QString CrossfadeSeamDialog::describe(const sound::CrossfadeResult& result) const {
    const double ms = 1000.0 * static_cast<double>(result.frames) / m_audio.sampleRate;
    return tr("%1 ms (%2 samples) before the stop, blended at %3 (the two sides correlate at "
              "%4): the seam is %5.")
        .arg(ms, 0, 'f', 1)
        .arg(result.frames)
        .arg(result.equalPower ? tr("equal power") : tr("equal gain"))
        .arg(result.correlation, 0, 'f', 2)
        .arg(QString::fromUtf8(SeamSoundWord(result.figures.sound)));
}

void CrossfadeSeamDialog::preview(std::optional<std::int64_t> frames) {
    if (m_engine.isPlaying())
        m_engine.stop();
    setBusy(true);
    // A new name for every preview: the one shown may still be read.
    const QString path = m_scratch.filePath(
        QStringLiteral("preview-%1.%2").arg(++m_previews).arg(QFileInfo(m_audio.path).suffix()));
    sound::CrossfadeRequest request;
    request.audio = m_audio.path;
    request.start = m_loop.start;
    request.stop = m_loop.stop;
    request.frames = frames;
    request.target = path;
    QPointer<CrossfadeSeamDialog> self = this;
    m_engine.crossfadeSeam(request, [self, path](const sound::CrossfadeResult& result) {
        if (!self)
            return;
        if (!result.error.isEmpty()) {
            self->m_frames.reset();
            self->m_summary->setText(result.error);
            self->setBusy(false);
            return;
        }
        self->m_frames = result.frames;
        self->m_previewPath = path;
        self->m_length->setValue(1000.0 * static_cast<double>(result.frames) /
                                 self->m_audio.sampleRate);
        self->m_summary->setText(self->describe(result));
        sound::CompanionAudio shown = self->m_audio;
        shown.path = path;
        self->m_session->setAudio(&self->m_engine, shown);
        self->m_session->setPositions(static_cast<double>(self->m_loop.start),
                                      static_cast<double>(self->m_loop.stop));
        self->setBusy(false);
    });
}

void CrossfadeSeamDialog::playSeam(bool audition) {
    if (m_previewPath.isEmpty())
        return;
    // Pressed again while playing: stop, as the Loop menu's keys do.
    if (m_engine.isPlaying()) {
        m_engine.stop();
        return;
    }
    sound::PlayRequest request;
    request.audio = m_previewPath;
    const std::int64_t seam = std::int64_t{kSeamSeconds} * m_audio.sampleRate;
    request.from = std::max<std::int64_t>(0, m_loop.stop - seam);
    request.framesAfterJump = seam;
    request.points = [loop = m_loop] { return loop; };
    if (audition)
        request.audition = [rate = m_audio.sampleRate] {
            const auto frames = [rate](double seconds) {
                return static_cast<std::int64_t>(std::llround(seconds * rate));
            };
            return sound::AuditionSpan{frames(kAuditionSeconds), frames(kAuditionSeconds),
                                       frames(kAuditionGapSeconds)};
        };
    m_engine.play(request, [](const sound::PlayEvent&) {});
}

void CrossfadeSeamDialog::write(const QString& target, bool replaceCompanion) {
    if (!m_frames)
        return;
    if (m_engine.isPlaying())
        m_engine.stop();
    setBusy(true);
    sound::CrossfadeRequest request;
    request.audio = m_audio.path;
    request.start = m_loop.start;
    request.stop = m_loop.stop;
    request.frames = m_frames;
    request.target = target;
    if (replaceCompanion)
        request.keepOriginal = m_audio.path + QStringLiteral(".orig");
    QPointer<CrossfadeSeamDialog> self = this;
    m_engine.crossfadeSeam(request, [self, request](const sound::CrossfadeResult& result) {
        if (!self)
            return;
        self->m_replaced = result.error.isEmpty() && !request.keepOriginal.isEmpty();
        self->setBusy(false);
        if (self->m_replaced)
            emit self->companionReplaced();
        if (!self)
            return;
        const QString name = QDir::toNativeSeparators(request.target);
        self->m_summary->setText(
            result.error.isEmpty()
                ? (request.keepOriginal.isEmpty()
                       ? tr("Wrote %1: %2").arg(name, self->describe(result))
                       : tr("Replaced %1, the original kept as %2: %3")
                             .arg(name, QDir::toNativeSeparators(request.keepOriginal),
                                  self->describe(result)))
                : result.error);
    });
}

void CrossfadeSeamDialog::writeAs() {
    const QFileInfo companion(m_audio.path);
    const QString target = QFileDialog::getSaveFileName(
        this, tr("Write Crossfaded Audio"),
        companion.dir().filePath(companion.completeBaseName() + QStringLiteral("-crossfaded.") +
                                 companion.suffix()),
        tr("Audio (%1)").arg(QString::fromStdString(WrittenAudioPatterns())), nullptr,
        QFileDialog::DontConfirmOverwrite);
    if (target.isEmpty())
        return;
    // The companion itself is replaced only as Replace replaces it.
    if (QFileInfo(target).canonicalFilePath() == companion.canonicalFilePath()) {
        replaceCompanion();
        return;
    }
    if (QFileInfo::exists(target)) {
        m_summary->setText(tr("%1 exists: choose another name, or remove it first.")
                               .arg(QDir::toNativeSeparators(target)));
        return;
    }
    write(target, false);
}

void CrossfadeSeamDialog::replaceCompanion() {
    const QString kept = m_audio.path + QStringLiteral(".orig");
    const QString name = QFileInfo(m_audio.path).fileName();
    if (QFileInfo::exists(kept)) {
        m_summary->setText(tr("%1 exists: the original could not be kept beside it, so %2 is "
                              "left as it is.")
                               .arg(QDir::toNativeSeparators(kept), name));
        return;
    }
    const auto answer = QMessageBox::question(
        this, tr("Replace %1").arg(name),
        tr("Replace %1 with its crossfaded version? The original is kept as %2.")
            .arg(name, QFileInfo(kept).fileName()),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer == QMessageBox::Yes)
        write(m_audio.path, true);
}

CrossfadeSeamCommand::CrossfadeSeamCommand(EditorWindow& window, LoopMenu& menu)
    : QObject(&window), m_window(window), m_menu(menu) {
    m_action = window.loopMenu()->addAction(tr("&Crossfade Seam…"), this, [this] { open(); });
    m_action->setObjectName(QStringLiteral("mnuCrossfadeSeam"));
    m_action->setEnabled(false);
    m_action->setStatusTip(tr("Open a POS file with its audio to crossfade its seam"));
    connect(&menu, &LoopMenu::audioChanged, this,
            [this](const std::optional<sound::CompanionAudio>& audio) {
                m_action->setEnabled(audio.has_value());
                if (audio)
                    m_action->setStatusTip(
                        tr("Blends the frames before the stop into those before the start, "
                           "into a new copy of %1")
                            .arg(QFileInfo(audio->path).fileName()));
            });
}

void CrossfadeSeamCommand::open() {
    const auto& audio = m_menu.audio();
    if (!audio || !m_menu.engine())
        return;
    const StoredPositions stored = m_window.storedPositions();
    const auto values = stored.values();
    const auto say = [this](const QString& text) { m_window.statusBar()->showMessage(text, 8000); };
    if (!values || values->start < 0 || values->stop <= values->start ||
        values->stop > audio->frames) {
        say(tr("Cannot crossfade: the sample fields hold no loop within the audio."));
        return;
    }
    if (audio->sampleRate != SamplesPerSecond) {
        say(tr("Cannot crossfade: %1 is %2 Hz, and the positions count samples at 44,100 per "
               "second.")
                .arg(QFileInfo(audio->path).fileName())
                .arg(audio->sampleRate));
        return;
    }
    // The dialog plays through the same engine: the menu's playback ends first.
    m_menu.stop();
    CrossfadeSeamDialog dialog(*m_menu.engine(), *audio, {values->start, values->stop}, &m_window);
    // The waveform panel and the seam view behind the dialog show the new
    // audio at once.
    connect(&dialog, &CrossfadeSeamDialog::companionReplaced, &m_menu, &LoopMenu::audioRewritten);
    dialog.exec();
}

} // namespace kestrin::views
