#include "net/uAdapterInfo.h"
