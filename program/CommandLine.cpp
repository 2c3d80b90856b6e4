#include "program/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <array>
#include <cstring>
#include <exception>

#include "settings/AppSettings.h"

namespace {

constexpr const char* kOrders = "progressive, random";
constexpr const char* kDelays = "0.5, 1, 2, 3, 5, 10, 15";

// The seconds an option may give, the delay table's seven steps.
constexpr std::array<std::pair<double, int>, 7> kDelaySteps{{
    {0.5, 500}, {1, 1000}, {2, 2000}, {3, 3000}, {5, 5000}, {10, 10000}, {15, 15000},
}};

CommandLine badUsage(const QString& problem)
{
    CommandLine result;
    result.exitCode = CommandLine::kBadUsage;
    result.err = "marbleglen: " + problem.toStdString() + "\n";
    return result;
}

// The argument as the user's bytes: a folder name that is not valid in the
// locale's encoding must still open. Qt has decoded it; find the original.
QByteArray originalBytes(int argc, char** argv, const QString& value)
{
    for (int i = argc - 1; i > 0; --i) {
        const char* raw = argv[i];
        if (std::strncmp(raw, "--show=", 7) == 0 && QString::fromLocal8Bit(raw + 7) == value)
            return QByteArray(raw + 7);
        if (QString::fromLocal8Bit(raw) == value)
            return QByteArray(raw);
    }
    return QFile::encodeName(value);
}

bool isFolderNumber(const QString& value)
{
    if (value.isEmpty() || value.size() > 3)
        return false;
    for (const QChar c : value)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv)
{
    // The parser's help text names the program from the application object;
    // a core one needs no display and is gone before the window system starts.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName("marbleglen");
    QCoreApplication::setApplicationVersion(MARBLEGLEN_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription("Photo slide show. Without --show the main window opens.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption show("show",
                                  "Runs the slide show of search folder N (1 to 4) or of FOLDER full screen, "
                                  "with no main window, going on where the last show of it stopped.",
                                  "N|FOLDER");
    const QCommandLineOption order("order", "The order for this run: progressive or random.", "ORDER");
    const QCommandLineOption delay("delay", "The delay for this run: 0.5, 1, 2, 3, 5, 10 or 15 seconds.",
                                   "SECONDS");
    const QCommandLineOption kiosk("kiosk", "A click or tap does not end the show; keys still work.");
    const QCommandLineOption verbose("verbose", "Prints each picture's path on standard output as it is shown.");
    const QCommandLineOption remote("remote",
                                    "The desktop's media controls, media keys, phone remotes and playerctl "
                                    "(MPRIS) step and pause the viewer while it is open.");
    const QCommandLineOption newFirst("new-first",
                                      "Pictures that appear in the folder while the show runs are shown next, "
                                      "in the order they came; then the show goes on.");
    parser.addOptions({show, order, delay, kiosk, verbose, remote, newFirst});
    const QCommandLineOption awake("awake",
                                   "The hours the screen is on, local time, e.g. 07:00-22:30 or "
                                   "06:30-08:00,16:00-23:00; outside them the show pauses and the screen sleeps "
                                   "until a key, a tap or the remote wakes it for five minutes.",
                                   "HH:MM-HH:MM[,...]");
    parser.addOption(awake);

    if (!parser.parse(QCoreApplication::arguments()))
        return badUsage(parser.errorText().replace('\n', ' ').remove(QRegularExpression("\\.$"))
                        + " (options: --show, --order, --delay, --kiosk, --verbose, --remote, --new-first, --awake, "
                          "--help, --version)");
    CommandLine result;
    result.options.remote = parser.isSet(remote);
    if (parser.isSet(help)) {
        result.exitCode = CommandLine::kDone;
        result.out = parser.helpText().toStdString();
        return result;
    }
    if (parser.isSet(version)) {
        result.exitCode = CommandLine::kDone;
        result.out = "marbleglen " MARBLEGLEN_VERSION "\n";
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return badUsage(QString("unexpected argument '%1' (folders go after --show)")
                            .arg(parser.positionalArguments().first()));
    for (const QCommandLineOption* option : {&show, &order, &delay})
        if (parser.values(*option).size() > 1)
            return badUsage(QString("--%1 given more than once").arg(option->names().first()));
    if (parser.values(awake).size() > 1)
        return badUsage("--awake given more than once (join the spans with commas)");
    if (!parser.isSet(show) && parser.isSet(awake))
        return badUsage("--awake only goes with --show");
    if (!parser.isSet(show)) {
        for (const QCommandLineOption* option : {&order, &delay, &kiosk, &verbose, &newFirst})
            if (parser.isSet(*option))
                return badUsage(QString("--%1 only goes with --show").arg(option->names().first()));
        return result;
    }

    FrameOptions& options = result.options;
    options.show = true;
    options.kiosk = parser.isSet(kiosk);
    options.verbose = parser.isSet(verbose);
    options.newFirst = parser.isSet(newFirst);

    if (parser.isSet(order)) {
        const QString value = parser.value(order);
        if (value == "progressive")
            options.order = AppSettings::kProgressive;
        else if (value == "random")
            options.order = AppSettings::kIntelligentRandom;
        else
            return badUsage(QString("--order '%1' is not an order (allowed: %2)").arg(value, kOrders));
    }
    if (parser.isSet(delay)) {
        const QString value = parser.value(delay);
        bool isNumber = false;
        const double seconds = value.toDouble(&isNumber);
        for (const auto& [step, milliseconds] : kDelaySteps)
            if (isNumber && seconds == step)
                options.intervalMs = milliseconds;
        if (!options.intervalMs)
            return badUsage(QString("--delay '%1' is not one of the delays (allowed: %2 seconds)").arg(value, kDelays));
    }

    if (parser.isSet(awake)) {
        const QString value = parser.value(awake);
        std::string problem;
        options.awake = AwakeHours::Parse(value.toStdString(), problem);
        if (!options.awake)
            return badUsage(QString("--awake '%1': %2 (allowed: HH:MM-HH:MM in local time, several joined by "
                                    "commas, e.g. 07:00-22:30 or 06:30-08:00,16:00-23:00)")
                                .arg(value, QString::fromStdString(problem)));
    }

    const QString folder = parser.value(show);
    if (folder.isEmpty())
        return badUsage(QString("--show needs a folder number 1 to 4 or a folder"));
    if (!isFolderNumber(folder)) {
        QByteArray path = originalBytes(argc, argv, folder);
        if (!path.startsWith('/'))
            path = QFile::encodeName(QDir::currentPath()) + '/' + path;
        options.folder = path;
        return result;
    }
    const int number = folder.toInt();
    if (number < 1 || number > 4)
        return badUsage(QString("--show %1: there is no search folder %1 (allowed: 1 to 4, or a folder; "
                                "write ./%1 for a folder of that name)").arg(folder));
    std::string configured;
    try {
        configured = AppSettings::ReadText(AppSettings::ImagePath(number));
    } catch (const std::exception& e) {
        result.exitCode = CommandLine::kFailed;
        result.err = std::string("marbleglen: cannot read the settings: ") + e.what() + "\n";
        return result;
    }
    if (configured.empty())
        return badUsage(QString("--show %1: search folder %1 has no path set (allowed: a folder number whose "
                                "path is set under Config Options, or a folder)").arg(number));
    options.folder = QByteArray(configured.data(), static_cast<qsizetype>(configured.size()));
    return result;
}
