#include "Vantrel/app/AppCommandLine.h"

#include "support/ProgramVersion.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace vantrel::AppCommandLine {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("AppCommandLine", text); }

constexpr int refusedStatus = 2;

} // namespace

std::optional<Answer> answer(const QStringList& arguments) {
    QCommandLineParser parser;
    // The toolkit's options are written with one dash ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(tr("Recovers deleted and lost files from memory cards and other removable disks."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, tr("Show this help and end."));
    const QCommandLineOption version(QStringLiteral("version"), tr("Show the version and end."));
    const QCommandLineOption rebind(QStringLiteral("rebind-helper"), tr("Register the helper service again."));
    const QCommandLineOption quitAfterRebind(QStringLiteral("quit-after-rebind"), tr("End once the helper is registered again."));
    const QCommandLineOption uninstall(QStringLiteral("uninstall-helper"), tr("Remove the helper service."));
    const QCommandLineOption quitAfterUninstall(QStringLiteral("quit-after-uninstall"), tr("End once the helper service is removed."));
    parser.addOptions({help, version, rebind, quitAfterRebind, uninstall, quitAfterUninstall});
    for (const char* name : {"platform", "display", "style"}) {
        QCommandLineOption toolkit(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        toolkit.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(toolkit);
    }

    const QString program = QStringLiteral("Vantrel");
    if (!parser.parse(arguments))
        return Answer{refusedStatus, {}, (program + QStringLiteral(": ") + parser.errorText() + QLatin1Char('\n') +
                                          tr("Try \"Vantrel --help\".") + QLatin1Char('\n')).toStdString()};
    if (parser.isSet(help)) {
        // The help names the program as a user starts it, wherever it was started from.
        QString text = parser.helpText();
        const QString usage = QStringLiteral("Usage: ");
        if (text.startsWith(usage)) {
            const auto end = text.indexOf(QLatin1Char(' '), usage.size());
            if (end > 0) text.replace(usage.size(), end - usage.size(), program);
        }
        return Answer{0, text.toStdString(), {}};
    }
    if (parser.isSet(version)) return Answer{0, "Vantrel " + std::string(programVersion) + "\n", {}};
    if (!parser.positionalArguments().isEmpty())
        return Answer{refusedStatus, {}, (program + QStringLiteral(": ") + tr("Unexpected argument '%1'.").arg(parser.positionalArguments().front()) +
                                          QLatin1Char('\n') + tr("Try \"Vantrel --help\".") + QLatin1Char('\n')).toStdString()};
    return std::nullopt;
}

} // namespace vantrel::AppCommandLine
