// SPDX-License-Identifier: MIT
#include "file/filenames.h"
#include "file/signalcleanup.h"
#include "initialize.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

// --help and --version are answered without a window, so also where there is no
// display.
bool asksOnlyForText(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--help" || argument == "--help-all" || argument == "-h" ||
            argument == "-?" || argument == "--version" || argument == "-v")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    xmladjust::initializeCore();
    xmladjust::removeCreatedFilesOnSignals();
#ifdef SIGXFSZ
    // Past a file-size limit, saving then fails and the file is left as it was,
    // instead of the program being killed with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    const std::unique_ptr<QCoreApplication> application(asksOnlyForText(argc, argv)
                                                            ? new QCoreApplication(argc, argv)
                                                            : new QApplication(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("xmladjust"));
    QCoreApplication::setApplicationVersion(QStringLiteral(XMLADJUST_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Adds a fixed amount to a named numeric attribute throughout an XML "
                       "document. Opens the window, with FILE in its path field."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("the XML file to adjust"),
                                 QStringLiteral("[FILE]"));
    parser.process(*application);
    if (xmladjust::firstInexactArgument(argc, argv)) {
        std::fputs("xmladjust: the file's name is not text in this locale's encoding, so it "
                   "cannot be reached exactly\n",
                   stderr);
        return 2;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fputs("xmladjust: one file at most\n", stderr);
        return 2;
    }

    MainWindow window;
    if (!files.isEmpty())
        window.openFile(files.first());
    window.show();
    return application->exec();
}
