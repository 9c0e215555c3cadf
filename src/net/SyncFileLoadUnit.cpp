#include "net/SyncFileLoadUnit.h"
