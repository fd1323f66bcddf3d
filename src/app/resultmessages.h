// SPDX-License-Identifier: MIT
#ifndef RESULTMESSAGES_H
#define RESULTMESSAGES_H

#include <QString>

namespace xmladjust {

struct AdjustmentRule;
struct FileAdjustResult;
class Outcome;

// The window's result line: what a press of Изменить did, in the form's language.
// The system's and the parser's own reasons are quoted as they come.

// "1 значение", "3 значения", "5 значений".
QString valueCount(int count);

// Why a rule that is not effective changes nothing.
QString nothingToDoMessage(const AdjustmentRule &rule);

QString noFileChosenMessage();

QString textResultMessage(const Outcome &load, int adjustedCount);

// While the file is being worked on.
QString fileWorkingMessage(const QString &path);

QString fileResultMessage(const QString &path, const FileAdjustResult &result);

} // namespace xmladjust

#endif // RESULTMESSAGES_H
