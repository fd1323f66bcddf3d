// SPDX-License-Identifier: MIT
#include "initialize.h"

#include "parsersession.h"

#include <QHash>

namespace xmladjust {

void initializeCore()
{
    qSetGlobalQHashSeed(0);
    ParserSession::initializeParser();
}

} // namespace xmladjust
