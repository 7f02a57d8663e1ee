#include "Vantrel/views/MainWindow.h"

#include "Vantrel/catalog/CatalogFlows.h"
#include "Vantrel/sheets/SheetPresenter.h"
#include "Vantrel/views/HitsColumnList.h"
#include "Vantrel/views/MainWindowLogic.h"
#include "Vantrel/views/ResultsPane.h"
#include "Vantrel/views/StatusBarView.h"
#include "Vantrel/views/VolumeStripView.h"
#include "Vantrel/views/WindowFocusKeeper.h"

#include "support/log/AppLog.h"

#include <QAbstractButton>
#include <QAction>
#include <QFrame>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QToolBar>
#include <QVBoxLayout>

#include <functional>

namespace vantrel {
namespace {

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("color: palette(mid);"));
    return line;
}

// Gives a question its act and Cancel, Cancel the default and Escape button, so that Return never acts.
// answer learns whether the act was chosen (Escape and the window button count as Cancel); a question the
// model closed is not answered.
void addActOrCancel(QMessageBox& question, const QString& act, QMessageBox::ButtonRole role, const QString& actName,
                    std::function<void(bool)> answer) {
    QPushButton* acting = question.addButton(act, role);
    QPushButton* cancel = question.addButton(MainWindowLogic::cancelButtonTitle(), QMessageBox::RejectRole);
    acting->setObjectName(actName);
    cancel->setObjectName(QStringLiteral("cancel"));
    question.setDefaultButton(cancel);
    question.setEscapeButton(cancel);
    QObject::connect(&question, &QMessageBox::finished, &question, [&question, acting, answer = std::move(answer)] {
        if (question.property("closedByModel").toBool()) return;
        answer(question.clickedButton() == acting);
    });
}

} // namespace

MainWindow::MainWindow(AppModel& model, std::shared_ptr<VolumeSource> volumes, QWidget* parent)
    : QMainWindow(parent), m_model(model), m_volumes(std::move(volumes)), m_toolbar(new QToolBar(this)),
      m_scan(new QAction(MainWindowLogic::scanTitle(), this)), m_cancel(new QAction(MainWindowLogic::cancelTitle(), this)),
      m_strip(new VolumeStripView), m_results(new ResultsPane(model)), m_status(new StatusBarView(model)),
      m_sheets(new SheetPresenter(model, *this,
                                  {[&model] { return model.preferredScanMode(); }, [&model](ScanMode mode) { model.startScan(mode); }})) {
    setWindowTitle(QStringLiteral("Vantrel"));
    setMinimumSize(minimumWidth, minimumHeight);
    // It opens at the size it always had where the screen has room for it, else filling the screen.
    QSize opening(980, 640);
    if (const QScreen* screen = this->screen()) opening = opening.boundedTo(screen->availableSize());
    resize(opening.expandedTo(minimumSize()));

    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
    auto* spacer = new QWidget(m_toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolbar->addWidget(spacer);
    // The shortcut belongs to "Scan" alone.
    m_scan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_scan->setShortcutContext(Qt::WindowShortcut);
    m_toolbar->addAction(m_scan);
    m_toolbar->addAction(m_cancel);
    addToolBar(Qt::TopToolBarArea, m_toolbar);
    // The toolbar's buttons are stops of the Tab chain too (a toolbar leaves them out by default).
    for (QAction* action : {m_scan, m_cancel}) m_toolbar->widgetForAction(action)->setFocusPolicy(Qt::TabFocus);
    connect(m_scan, &QAction::triggered, this, [this] {
        if (MainWindowLogic::scanEnabled(m_model)) m_model.requestScan();
    });
    connect(m_cancel, &QAction::triggered, this, [this] { m_model.cancelScan(); });

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_strip);
    layout->addWidget(divider(central));
    layout->addWidget(m_results, 1);
    layout->addWidget(divider(central));
    layout->addWidget(m_status);
    setCentralWidget(central);

    // The strip shows what the model selected; a click asks the model, which may first ask about
    // unsaved hits and keep the old selection.
    m_strip->onPick = [this](const ExternalVolume& volume) { m_model.tasks().spawn(m_model.selectVolume(volume)); };
    m_results->onRecover = [this] { recoverSelected(); };
    m_results->onStartScan = [this](ScanMode mode) { m_model.startScan(mode); };
    m_results->list()->onPreview = [this](const RecoveredHit& hit) { m_model.previewHit(hit); };
    // An open preview follows the selection.
    m_results->list()->onSelectionChanged = [this] { m_model.refreshQuickLookPanelIfVisible(); };

    if (m_volumes) {
        m_strip->setVolumes(m_volumes->volumes(), m_volumes->showInternal());
        m_lastVolumes = m_volumes->volumes();
        m_volumes->setObserver([this](const std::vector<ExternalVolume>& list) { volumesChanged(list); });
    }
    m_strip->setSelected(m_model.selectedVolume());

    new WindowFocusKeeper(*this);

    connect(&m_model, &AppModel::fieldChanged, this, &MainWindow::onField);
    refreshToolbar();
    refreshErrorAlert();
    refreshUnsavedDialog();
    refreshQuitDuringScanDialog();
}

MainWindow::~MainWindow() {
    if (m_volumes) m_volumes->setObserver({});
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_tabChainDone) return;
    m_tabChainDone = true;
    // The toolbar's buttons (the program adds some after the window is made) come first in the Tab
    // chain, in their order, then the strip, the results pane and the status bar.
    QWidget* previous = nullptr;
    for (QAction* action : m_toolbar->actions()) {
        QWidget* button = m_toolbar->widgetForAction(action);
        if (!button || button->focusPolicy() == Qt::NoFocus) continue;
        if (previous) setTabOrder(previous, button);
        previous = button;
    }
    if (previous) setTabOrder(previous, m_strip);
}

void MainWindow::onField(AppModel::Field field) {
    switch (field) {
    case AppModel::Field::selectedVolume:
        m_strip->setSelected(m_model.selectedVolume());
        refreshToolbar();
        break;
    case AppModel::Field::isScanning: refreshToolbar(); break;
    case AppModel::Field::errorMessage: refreshErrorAlert(); break;
    case AppModel::Field::statusMessage:
        // What the status bar says, for whoever reads the log of a run.
        if (!m_model.statusMessage().isEmpty()) AppLog::info("status: " + m_model.statusMessage().toStdString(), "app");
        break;
    case AppModel::Field::showUnsavedCatalogPrompt: refreshUnsavedDialog(); break;
    case AppModel::Field::showQuitDuringScanPrompt: refreshQuitDuringScanDialog(); break;
    case AppModel::Field::catalogDiskQuestion: refreshCatalogDiskDialog(); break;
    default: break;
    }
}

void MainWindow::refreshToolbar() {
    const bool cancel = MainWindowLogic::showsCancel(m_model);
    m_scan->setVisible(!cancel);
    m_scan->setEnabled(MainWindowLogic::scanEnabled(m_model));
    m_cancel->setVisible(cancel);
}

void MainWindow::volumesChanged(const std::vector<ExternalVolume>& volumes) {
    m_strip->setVolumes(volumes, m_volumes ? m_volumes->showInternal() : false);
    // The monitor repeats unchanged lists; only a change is one.
    if (m_lastVolumes && *m_lastVolumes == volumes) return;
    m_lastVolumes = volumes;
    CatalogFlows::reconcileSelectedVolume(m_model, volumes);
}

void MainWindow::refreshErrorAlert() {
    const auto& message = m_model.errorMessage();
    if (!message) {
        if (m_errorAlert) m_errorAlert->close();
        return;
    }
    if (!m_errorAlert) {
        m_errorAlert = new QMessageBox(QMessageBox::Warning, MainWindowLogic::errorTitle(), QString(), QMessageBox::NoButton, this);
        // Error texts may quote disks and the helper: never markup.
        m_errorAlert->setTextFormat(Qt::PlainText);
        QPushButton* ok = m_errorAlert->addButton(QMessageBox::Ok);
        m_errorAlert->setEscapeButton(ok);
        m_errorAlert->setWindowModality(Qt::WindowModal);
        // After the modality, which makes a message box a sheet of its own kind.
        makeDialogWindow(*m_errorAlert);
        // However the alert goes (OK, Escape, the window button), the message goes with it.
        connect(m_errorAlert, &QMessageBox::finished, this, [this] { m_model.setErrorMessage(std::nullopt); });
    }
    m_errorAlert->setText(*message);
    // What the alert says, for whoever reads the log of a run.
    AppLog::info("alert: " + message->toStdString(), "app");
    if (!m_errorAlert->isVisible()) m_errorAlert->open();
}

void MainWindow::refreshUnsavedDialog() {
    if (!m_model.showUnsavedCatalogPrompt()) {
        closeAnsweredQuestion(m_unsavedDialog);
        return;
    }
    if (!m_unsavedDialog) {
        m_unsavedDialog = makeQuestion(QMessageBox::Question, MainWindowLogic::unsavedTitle(), MainWindowLogic::unsavedMessage());
        QPushButton* save = m_unsavedDialog->addButton(MainWindowLogic::saveCatalogTitle(), QMessageBox::AcceptRole);
        QPushButton* discard = m_unsavedDialog->addButton(MainWindowLogic::dontSaveTitle(), QMessageBox::DestructiveRole);
        QPushButton* cancel = m_unsavedDialog->addButton(MainWindowLogic::cancelButtonTitle(), QMessageBox::RejectRole);
        save->setObjectName(QStringLiteral("save"));
        discard->setObjectName(QStringLiteral("discard"));
        cancel->setObjectName(QStringLiteral("cancel"));
        m_unsavedDialog->setDefaultButton(save);
        m_unsavedDialog->setEscapeButton(cancel);
        connect(m_unsavedDialog, &QMessageBox::finished, this, [this, save, discard] {
            if (m_unsavedDialog->property("closedByModel").toBool()) return;
            QAbstractButton* pressed = m_unsavedDialog->clickedButton();
            // Escape and the window button count as Cancel.
            const auto answer = pressed == save      ? MainWindowLogic::UnsavedAnswer::save
                                : pressed == discard ? MainWindowLogic::UnsavedAnswer::discard
                                                     : MainWindowLogic::UnsavedAnswer::cancel;
            answerUnsaved(static_cast<int>(answer));
        });
    }
    showQuestion(*m_unsavedDialog);
}

void MainWindow::refreshQuitDuringScanDialog() {
    if (!m_model.showQuitDuringScanPrompt()) {
        // The scan ended by itself: the quit goes on without an answer.
        closeAnsweredQuestion(m_quitDuringScanDialog);
        return;
    }
    if (!m_quitDuringScanDialog) {
        m_quitDuringScanDialog =
            makeQuestion(QMessageBox::Warning, MainWindowLogic::quitDuringScanTitle(), MainWindowLogic::quitDuringScanMessage());
        // Return keeps the scan: stopping it takes a deliberate choice.
        addActOrCancel(*m_quitDuringScanDialog, MainWindowLogic::stopScanAndQuitTitle(), QMessageBox::DestructiveRole,
                       QStringLiteral("quit"), [this](bool stop) { m_model.resolveQuitDuringScanPrompt(stop); });
    }
    showQuestion(*m_quitDuringScanDialog);
}

void MainWindow::refreshCatalogDiskDialog() {
    const auto& question = m_model.catalogDiskQuestion();
    if (!question) {
        closeAnsweredQuestion(m_catalogDiskDialog);
        return;
    }
    if (!m_catalogDiskDialog) {
        m_catalogDiskDialog = makeQuestion(QMessageBox::Question, *question,
                                           tr("This catalog does not record which disk it was made from. Files are read "
                                              "from this disk only if it is the one they were found on."));
        // Reading another card at the catalog's offsets would recover the wrong bytes: Return keeps it unread.
        addActOrCancel(*m_catalogDiskDialog, tr("Use Disk"), QMessageBox::AcceptRole, QStringLiteral("use"),
                       [this](bool use) { m_model.resolveCatalogDiskQuestion(use); });
    }
    m_catalogDiskDialog->setText(*question);
    m_catalogDiskDialog->setWindowTitle(*question);
    showQuestion(*m_catalogDiskDialog);
}

QMessageBox* MainWindow::makeQuestion(QMessageBox::Icon icon, const QString& title, const QString& message) {
    auto* question = new QMessageBox(icon, title, title, QMessageBox::NoButton, this);
    question->setTextFormat(Qt::PlainText);
    question->setInformativeText(message);
    question->setWindowModality(Qt::WindowModal);
    // After the modality, which makes a message box a sheet of its own kind.
    makeDialogWindow(*question);
    return question;
}

void MainWindow::showQuestion(QMessageBox& question) {
    question.setProperty("closedByModel", false);
    if (question.isVisible()) return;
    // Asked again, it starts at its default answer, not at the button that answered it last time.
    if (QPushButton* preferred = question.defaultButton()) preferred->setFocus();
    question.open();
}

void MainWindow::closeAnsweredQuestion(QMessageBox* question) {
    if (!question || !question->isVisible()) return;
    // Closed by the model: its answer is already known.
    question->setProperty("closedByModel", true);
    question->close();
}

void MainWindow::answerUnsaved(int answer) {
    const auto resolution = MainWindowLogic::resolution(static_cast<MainWindowLogic::UnsavedAnswer>(answer));
    m_model.resolveUnsavedCatalogPrompt(resolution.save, resolution.discard);
}

void MainWindow::recoverSelected() {
    AppLog::info("Recover Selected — folder picker", "recover");
    FileDialogOptions options;
    options.prompt = MainWindowLogic::recoverPrompt().toStdString();
    options.canCreateFolders = true;
    const auto& dialogs = m_model.effects().dialogs;
    if (!dialogs) return;
    dialogs->chooseFolder(options, [this](std::optional<std::string> folder) {
        if (!folder || folder->empty()) {
            AppLog::info("Recover Selected — cancelled", "recover");
            return;
        }
        m_model.recoverSelected(*folder);
    });
}

} // namespace vantrel
