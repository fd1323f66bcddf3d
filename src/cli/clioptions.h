// SPDX-License-Identifier: MIT
#ifndef CLIOPTIONS_H
#define CLIOPTIONS_H

#include "adjustmentrule.h"

#include <QStringList>

class QCommandLineParser;

namespace xmladjust {

extern const char programName[];
extern const char usageLine[];

struct Settings
{
    AdjustmentRule rule;
    bool reformat = false;
    bool dryRun = false;
    int jobs = 0;      // files worked on at once; 0: as many as there are cores
    QStringList files; // "-" for standard input
};

// The options this program takes, added to the parser.
void addOptions(QCommandLineParser &parser);

// The settings, or the reason the command line cannot be used.
QString readSettings(const QCommandLineParser &parser, Settings *settings);

QString helpText();

} // namespace xmladjust

#endif // CLIOPTIONS_H
