// SPDX-License-Identifier: MIT
#ifndef CLIOPTIONS_H
#define CLIOPTIONS_H

#include "rule/adjustmentrules.h"

#include <QStringList>

class QCommandLineParser;

namespace xmladjust {

extern const char programName[];
extern const char usageLine[];

struct Settings
{
    AdjustmentRules rules;
    bool reformat = false;
    bool dryRun = false;
    QString backupSuffix; // a replaced file's old contents kept as its name and this; empty: none
    int jobs = 0;      // files worked on at once; 0: as many as there are cores
    bool parserThreadPerFile = true; // each file's parse on a thread of its own
    QStringList files; // "-" for standard input
};

// The options this program takes, added to the parser.
void addOptions(QCommandLineParser &parser);

// The settings, or the reason the command line cannot be used.
QString readSettings(const QCommandLineParser &parser, Settings *settings);

QString helpText();

// How the report names a rule among several: its attribute, or ELEMENT/@ATTRIBUTE.
QString ruleLabel(const AdjustmentRule &rule);

} // namespace xmladjust

#endif // CLIOPTIONS_H
