// Where the helper's program file lies, for showing it to the user.

#include "Vantrel/model/AppModel.h"

#include <QCoreApplication>

#include <filesystem>

namespace vantrel {

std::string AppModel::helperExecutablePath() const {
    if (m_effects.helperProgram) {
        std::error_code error;
        const auto resolved = std::filesystem::canonical(*m_effects.helperProgram, error);
        return error ? *m_effects.helperProgram : resolved.string();
    }
    return (std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "VantrelHelper").string();
}

void AppModel::revealHelperInFinder() {
    const auto path = helperExecutablePath();
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) m_effects.shell->revealInFileManager(path);
    else m_effects.shell->revealInFileManager(QCoreApplication::applicationDirPath().toStdString());
}

} // namespace vantrel
