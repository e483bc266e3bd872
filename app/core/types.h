// Every shared value type of the command core in one include.
#pragma once

#include "app/core/bridge_server_status.h"
#include "app/core/date.h"
#include "app/core/json_coding.h"
#include "app/core/pairing_records.h"
#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/core/presentation_window_results.h"
#include "app/core/slide_list_result.h"
#include "app/core/text.h"
#include "app/core/welcome_permission.h"
