#pragma once
// Everything of the IPC message library.
#include "orvane_ipc/crc.h"
#include "orvane_ipc/data_cell.h"
#include "orvane_ipc/utilities.h"
#include "orvane_ipc/command_base.h"
#include "orvane_ipc/request.h"
#include "orvane_ipc/response.h"
#include "orvane_ipc/service.h"
