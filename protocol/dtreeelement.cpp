#include "protocol/dtreeelement.h"

#include "engine/dtypes.h"

void registerEngineMetaTypes()
{
    qRegisterMetaType<DTreeElement>("DTreeElement");
    qRegisterMetaType<DTreeElementList>("DTreeElementList");
    qRegisterMetaType<CStatus>("CStatus");
    qRegisterMetaType<DTransferStatus>("DTransferStatus");
}
