#include "Vantrel/preview/PreviewWindow.h"

#include "Vantrel/async/Awaitables.h"
#include "Vantrel/preview/PreviewWindowLogic.h"
#include "Vantrel/scan/CheckWorkers.h"
#include "Vantrel/views/WindowFocusKeeper.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/carving/formats/MediaFactsReader.h"
#include "support/log/AppLog.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <mutex>

namespace vantrel {

namespace {

QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

// Our own child wrote the PNG, but it read hostile bytes: only a picture of the size it may draw is read.
QImage readDrawing(const std::filesystem::path& path) {
    QImageReader reader(QString::fromStdString(path.string()), "png");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > PreviewWindow::maxDrawingSidePixels ||
        size.height() > PreviewWindow::maxDrawingSidePixels)
        return {};
    return reader.read();
}

// What the container of a sound or video says of it, read by the bounded container readers from the
// preview's copy; nothing is decoded.
std::optional<MediaFacts> mediaFacts(const std::filesystem::path& path, RecoveredFileKind kind) {
    try {
        FileByteSource source(path.string());
        return MediaFactsReader::read(kind, source);
    } catch (const std::exception& error) {
        AppLog::error(std::string("media facts not read: ") + error.what(), "app");
        return std::nullopt;
    }
}

QByteArray firstBytes(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.read(static_cast<qint64>(PreviewWindowLogic::hexViewBytes));
}

} // namespace

namespace {

// A screen reader is told the preview is a window of its own (a plain widget would be an unnamed
// filler), named by its title.
QAccessibleInterface* previewAccessibility(const QString& className, QObject* object) {
    if (className == QLatin1String("vantrel::PreviewWindow") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

PreviewWindow::PreviewWindow(AppModel& model, QWidget* parent)
    : QWidget(parent),
      m_model(model),
      m_workers(std::make_shared<CheckWorkers>(1)),
      m_tasks(std::make_unique<TaskScope>(model.effects().executor)) {
    static std::once_flag accessibility;
    std::call_once(accessibility, [] { QAccessible::installFactory(previewAccessibility); });
    setObjectName(QStringLiteral("previewWindow"));
    // A window of the main one: a window manager keeps it with it; it may be maximised to look closer.
    makeDialogWindow(*this, true);
    setWindowTitle(tr("Preview"));
    setFocusPolicy(Qt::StrongFocus);
    resize(defaultWidth, defaultHeight);
    openExternally = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    auto* layout = new QVBoxLayout(this);
    m_pictureView = new QLabel(this);
    m_pictureView->setAlignment(Qt::AlignCenter);
    m_pictureView->setAccessibleName(tr("Picture"));
    // The picture is scaled to the label, never the label to the picture.
    m_pictureView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_pictureView->setMinimumSize(1, 1);
    m_pictureView->installEventFilter(this);
    layout->addWidget(m_pictureView, 1);
    // A sound's or video's duration and picture size, large, in the middle of the room a picture takes.
    m_mediaPanel = new QWidget(this);
    auto* mediaLayout = new QVBoxLayout(m_mediaPanel);
    m_mediaView = plainLabel(m_mediaPanel);
    m_mediaView->setObjectName(QStringLiteral("mediaFacts"));
    m_mediaView->setAlignment(Qt::AlignCenter);
    QFont large = m_mediaView->font();
    large.setPointSizeF(large.pointSizeF() * mediaFactsScale);
    m_mediaView->setFont(large);
    mediaLayout->addStretch(1);
    mediaLayout->addWidget(m_mediaView);
    mediaLayout->addStretch(1);
    m_mediaPanel->setVisible(false);
    layout->addWidget(m_mediaPanel, 1);
    m_noteView = plainLabel(this);
    m_noteView->setWordWrap(true);
    m_noteView->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_noteView);
    m_hexView = plainLabel(this);
    m_hexView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Lines of equal width, left-aligned among themselves; the block sits in the middle.
    m_hexView->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    layout->addWidget(m_hexView, 1, Qt::AlignHCenter | Qt::AlignTop);
    m_factsView = plainLabel(this);
    layout->addWidget(m_factsView);
    m_openButton = new QPushButton(PreviewWindowLogic::openTitle(), this);
    m_closeButton = new QPushButton(PreviewWindowLogic::closeTitle(), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* button : {m_openButton, m_closeButton}) {
        // The arrow keys belong to the window, which steps through the list with them; the buttons
        // answer their Alt mnemonics.
        button->setFocusPolicy(Qt::NoFocus);
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
    connect(m_closeButton, &QPushButton::clicked, this, &QWidget::close);
    connect(m_openButton, &QPushButton::clicked, this, [this] {
        const auto item = m_model.previewController().previewItem(0);
        if (!item || !openExternally) return;
        if (!openExternally(QUrl::fromLocalFile(QString::fromStdString(item->string())))) showNote(PreviewWindowLogic::notOpenedNote());
    });

    m_model.previewController().setPanel(this);
}

PreviewWindow::~PreviewWindow() {
    m_tasks.reset();
    auto& controller = m_model.previewController();
    if (controller.panel() == this) controller.setPanel(nullptr);
}

void PreviewWindow::showPreview() {
    const auto& controller = m_model.previewController();
    const auto item = controller.previewItem(0);
    const auto& hit = controller.shownHit();
    if (!item || !hit) return;
    const auto mode = PreviewWindowLogic::modeFor(hit->kind);
    ++m_drawGeneration;
    m_drawing = false;
    m_partial = false;
    m_picture = {};
    m_pictureView->clear();
    m_facts = PreviewWindowLogic::factsText(*hit);
    m_factsView->setText(m_facts);
    m_hexView->clear();
    m_hexView->setVisible(mode == PreviewWindowLogic::Mode::facts);
    m_mediaView->clear();
    m_mediaPanel->setVisible(mode == PreviewWindowLogic::Mode::media);
    m_pictureView->setVisible(PreviewWindowLogic::isDrawn(mode));
    setWindowTitle(PreviewWindowLogic::windowTitle(*hit));
    setAccessibleName(windowTitle());
    m_pictureView->setAccessibleDescription(m_facts);
    if (PreviewWindowLogic::isDrawn(mode)) {
        if (m_model.previewRenderer()) {
            m_drawing = true;
            showNote(PreviewWindowLogic::preparingNote());
            m_tasks->spawn(draw(*item, hit->kind, m_drawGeneration));
        } else {
            showNote(PreviewWindowLogic::undrawnNote());
        }
    } else if (mode == PreviewWindowLogic::Mode::media) {
        const auto facts = mediaFacts(*item, hit->kind);
        m_mediaView->setText(facts ? PreviewWindowLogic::mediaFactsText(*facts) : QString());
        showNote(PreviewWindowLogic::mediaNote());
    } else {
        const QByteArray bytes = firstBytes(*item);
        m_hexView->setText(PreviewWindowLogic::hexView(
            ByteView(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()))));
        showNote(PreviewWindowLogic::factsNote());
    }
    if (!isVisible()) {
        placeBesideParent();
        show();
        raise();
        activateWindow();
    }
}

Task<void> PreviewWindow::draw(std::filesystem::path file, RecoveredFileKind kind, std::uint64_t generation) {
    auto renderer = m_model.previewRenderer();
    auto workers = m_workers;
    // Beside the file, so that it goes with the preview folder.
    const auto output = file.parent_path() / (".drawing-" + Uuid::random().toString() + ".png");
    using Drawn = std::optional<PreviewRenderer::Drawing>;
    auto start = [workers, renderer, file, kind, output](CallbackResumer<Drawn> resume) {
        workers->submit([resume, renderer, file, kind, output] {
            resume(renderer->render(kind, file, output, maxDrawingSidePixels));
        });
    };
    const auto drawing = co_await fromCallback<Drawn>(start);
    QImage picture;
    if (drawing) picture = readDrawing(output);
    std::error_code ignored;
    std::filesystem::remove(output, ignored);
    if (generation != m_drawGeneration) co_return;
    showDrawing(std::move(picture), drawing ? drawing->pageCount : std::nullopt, drawing && drawing->partial);
}

void PreviewWindow::showDrawing(QImage picture, std::optional<int> pageCount, bool partial) {
    m_drawing = false;
    m_picture = std::move(picture);
    if (m_picture.isNull()) {
        showNote(PreviewWindowLogic::undrawnNote());
        return;
    }
    m_partial = partial;
    showNote(partial ? PreviewWindowLogic::partialNote() : QString());
    if (pageCount) m_factsView->setText(m_facts + QLatin1Char('\n') + PreviewWindowLogic::pagesText(*pageCount));
    scalePicture();
}

void PreviewWindow::scalePicture() {
    if (m_picture.isNull()) return;
    const QSize room = m_pictureView->size();
    if (room.width() < 1 || room.height() < 1) return;
    m_pictureView->setPixmap(QPixmap::fromImage(m_picture.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void PreviewWindow::showNote(const QString& note) {
    m_noteView->setText(note);
    m_noteView->setVisible(!note.isEmpty());
    // The mark of a partial picture stands out from the other notes: it is about what is shown.
    QFont font = m_noteView->font();
    font.setBold(m_partial && !note.isEmpty());
    m_noteView->setFont(font);
}

void PreviewWindow::keyPressEvent(QKeyEvent* event) {
    // Escape, Ctrl+W and Space (as in file managers) close the window.
    const bool plain = event->modifiers() == Qt::NoModifier;
    if (event->matches(QKeySequence::Close) || (plain && (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Space))) {
        event->accept();
        close();
        return;
    }
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (m_model.previewController().handleKey(event->key())) {
            event->accept();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void PreviewWindow::placeBesideParent() {
    // Where no window manager places it: over the middle of the main window the first time, then
    // wherever the user left it.
    if (m_placed) return;
    m_placed = true;
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner || !owner->isVisible()) return;
    QRect frame(QPoint(), size());
    frame.moveCenter(owner->frameGeometry().center());
    move(frame.topLeft());
}

void PreviewWindow::closePanel() { close(); }

void PreviewWindow::closeEvent(QCloseEvent* event) {
    ++m_drawGeneration;
    m_drawing = false;
    m_picture = {};
    m_pictureView->clear();
    m_model.previewClosed();
    QWidget::closeEvent(event);
}

bool PreviewWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pictureView && event->type() == QEvent::Resize) scalePicture();
    return QWidget::eventFilter(watched, event);
}

} // namespace vantrel
