// Messages of the operator's display panel (node 3).
#pragma once

#include "can/can_frame.h"

void canRxDisplay(CanFrame frame);
void can_read_PDM_Display(CanFrame frame);
