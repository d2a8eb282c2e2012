// halyard: the Varnak Plus programmer.
//   halyard                     opens the main window
//   halyard --screenshot FILE   renders the window after start-up to a PNG file and exits
#include <QApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

#include "inifile.h"
#include "majorform.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("halyard");
    QApplication::setApplicationVersion(QString(halyard::kProgramVersion).mid(1));
    QCommandLineParser parser;
    parser.setApplicationDescription("Varnak Plus programmer");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption screenshot(
        "screenshot", "Render the window after start-up to the PNG file FILE and exit.", "FILE");
    parser.addOption(screenshot);
    parser.process(app);

    halyard::TMajorForm::Options options;
    options.iniPath = halyard::IniPathFor(QApplication::applicationFilePath().toStdString());
    halyard::TMajorForm form(options);
    form.show();

    if (parser.isSet(screenshot)) {
        const QString file = parser.value(screenshot);
        // Let the port timer fire and the layout settle, then take the picture.
        QTimer::singleShot(form.Timer1->interval() + 50, &form, [&form, &file]() {
            if (!form.grab().save(file, "PNG")) {
                std::fprintf(stderr, "halyard: cannot write %s\n", file.toLocal8Bit().constData());
                QApplication::exit(1);
                return;
            }
            QApplication::exit(0);
        });
    }
    return QApplication::exec();
}
