#include <gtest/gtest.h>
#include "platform/dispatch/dispatch.h"
