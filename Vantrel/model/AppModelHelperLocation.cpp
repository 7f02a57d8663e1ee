// Where the helper's program file lies, for showing it to the user.

#include "Vantrel/model/AppModel.h"

#include "Vantrel/helper/PrivatePrograms.h"

#include <QCoreApplication>

#include <filesystem>

namespace vantrel {

std::string AppModel::helperExecutablePath() const {
    if (m_effects.helperProgram) {
        std::error_code error;
        const auto resolved = std::filesystem::canonical(*m_effects.helperProgram, error);
        return error ? *m_effects.helperProgram : resolved.string();
    }
    // Where the install tree puts it.
    const std::filesystem::path folder = QCoreApplication::applicationDirPath().toStdString();
    return (installedPrivateProgramDirectory(folder) / "VantrelHelper").lexically_normal().string();
}

void AppModel::revealHelperInFinder() {
    const auto path = helperExecutablePath();
    std::error_code error;
    const std::string shown =
        std::filesystem::is_regular_file(path, error) ? path : QCoreApplication::applicationDirPath().toStdString();
    // Without a file manager nothing would happen at all: the window says so, and where the helper is.
    if (!m_effects.shell->revealInFileManager(shown))
        setErrorMessage(tr("No file manager could be opened. The helper is at %1.").arg(QString::fromStdString(shown)));
}

} // namespace vantrel
