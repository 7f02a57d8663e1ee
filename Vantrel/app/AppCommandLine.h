#pragma once
// The window's command line, read before anything starts: --help and --version are answered on
// standard output and the program ends (status 0) without a window or a helper; an option it does not
// know, or a word that is no option, ends it with status 2 and the reason on standard error. What is
// left starts the window: the helper-maintenance requests (AppModel::handleLaunchArguments) and the
// toolkit's own -platform, -display and -style.

#include <QStringList>

#include <optional>
#include <string>

namespace vantrel::AppCommandLine {

struct Answer {
    int status = 0;
    std::string output;    // for standard output
    std::string problem;   // for standard error
};

// arguments as the program got them, its name first. Nothing when the window is to start.
std::optional<Answer> answer(const QStringList& arguments);

} // namespace vantrel::AppCommandLine
