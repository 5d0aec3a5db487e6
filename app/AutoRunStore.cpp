#include "AutoRunStore.h"

#ifdef Q_OS_WIN
#include "RunKeyAutoRunStore.h"
#else
#include "XdgAutoRunStore.h"
#endif

std::unique_ptr<AutoRunStore> AutoRunStore::open()
{
#ifdef Q_OS_WIN
    return std::make_unique<RunKeyAutoRunStore>();
#else
    return std::make_unique<XdgAutoRunStore>();
#endif
}
