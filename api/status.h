#pragma once
// Moved; kept until every includer has moved.
#include "core/status.h"
