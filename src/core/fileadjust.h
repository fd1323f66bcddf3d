#ifndef FILEADJUST_H
#define FILEADJUST_H

#include "atomicfile.h"
#include "xmlinput.h"

#include <QString>

struct AdjustmentRule;

// What the window's file mode did with one file.
struct FileAdjustResult
{
    enum Status
    {
        Saved,           // values were adjusted and the file replaced
        NothingToChange, // no value qualified, so the file was not written
        Missing,         // no file at the path
        NotRegularFile,  // a directory, device or pipe
        NotWritable,     // the file may not be replaced; it was not read
        NotLoaded,       // see load
        NotSaved         // see save; the file is as it was, or as another program left it
    };
    Status status = NotLoaded;
    XmlLoadResult load;
    int adjustedCount = 0;
    FileReplaceResult save; // the refusal, with NotWritable
};

// Loads the file, adjusts it with the rule and, when some value changed, saves it
// back atomically in the serialiser's layout. A file in which nothing qualifies is
// not written at all, so it keeps its bytes and its modification time. Uses no
// widgets and shares nothing, so it may run on any thread.
FileAdjustResult adjustXmlFile(const QString &path, const AdjustmentRule &rule);

#endif // FILEADJUST_H
