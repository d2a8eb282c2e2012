// halyard: the Varnak Plus programmer.
//   halyard                     opens the main window
//   halyard --screenshot FILE   renders the window after start-up to a PNG file and exits
//   halyard --help | --version  answer without a display
#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/atomicfile.h"
#include "inifile.h"
#include "majorform.h"

namespace {

const QCommandLineOption kScreenshot(
    "screenshot", "Render the window after start-up to the PNG file FILE and exit.", "FILE");

bool AsksForHelpOrVersion(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        for (const char* flag : {"-h", "-?", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], flag) == 0) {
                return true;
            }
        }
    }
    return false;
}

// Parses the command line of `app`. Help and version are printed and end the program with 0,
// a usage error with 2.
void ParseCommandLine(QCommandLineParser& parser, const QCoreApplication& app) {
    QCoreApplication::setApplicationName("halyard");
    QCoreApplication::setApplicationVersion(QString(halyard::kProgramVersion).mid(1));
    parser.setApplicationDescription("Varnak Plus programmer");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(kScreenshot);
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "halyard: %s\n", parser.errorText().toLocal8Bit().constData());
        std::exit(2);
    }
    if (parser.isSet("version")) {
        parser.showVersion();
    }
    if (parser.isSet("help") || parser.isSet("help-all")) {
        parser.showHelp(0);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (AsksForHelpOrVersion(argc, argv)) {
        // Answered by a core application, which needs no window system.
        QCoreApplication core(argc, argv);
        QCommandLineParser parser;
        ParseCommandLine(parser, core);
        return 0;
    }
    QApplication app(argc, argv);
    QCommandLineParser parser;
    ParseCommandLine(parser, app);

    halyard::TMajorForm::Options options;
    options.iniPath = halyard::IniPathFor(QApplication::applicationFilePath().toStdString());
    halyard::TMajorForm form(options);
    form.show();

    if (parser.isSet(kScreenshot)) {
        const QString file = parser.value(kScreenshot);
        // Let the port timer fire and the layout settle, then take the picture. The name is
        // copied: this block has ended by the time the timer fires.
        QTimer::singleShot(form.Timer1->interval() + 50, &form, [&form, file]() {
            // Rendered in memory and written atomically: a full disk must not leave a fragment
            // in place of the old picture.
            QByteArray png;
            QBuffer buffer(&png);
            std::string error = "cannot render the picture";
            if (!buffer.open(QIODevice::WriteOnly) || !form.grab().save(&buffer, "PNG") ||
                !varnak::WriteFileAtomically(
                    file.toLocal8Bit().constData(),
                    std::string_view(png.constData(), static_cast<size_t>(png.size())), &error)) {
                std::fprintf(stderr, "halyard: %s\n", error.c_str());
                QApplication::exit(1);
                return;
            }
            QApplication::exit(0);
        });
    }
    return QApplication::exec();
}
