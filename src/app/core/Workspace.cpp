#include "app/core/Workspace.h"
