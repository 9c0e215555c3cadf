#include "net/GetMIPsUnit.h"
