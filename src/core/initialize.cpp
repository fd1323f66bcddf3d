// SPDX-License-Identifier: MIT
#include "initialize.h"

#include "filenames.h"
#include "parsersession.h"

#include <QHash>

namespace xmladjust {

void initializeCore()
{
    qSetGlobalQHashSeed(0);
    keepFileNamesExact();
    ParserSession::initializeParser();
}

} // namespace xmladjust
