// Messages of the CPU node (node 7, message set QSD).
#pragma once

#include "can/can_frame.h"
#include "pc/date_time.h"

// The date and time the CPU node announced, zero until it does.
DateTime start_time_get();

void canRxQsd(CanFrame frame);
void can_send_PDM_QSD();
void can_exam_status_menagement(CanFrame frame);
void can_version_menagement(CanFrame frame);
void can_conf_ethernet(CanFrame frame);
void can_set_DateTime(CanFrame frame);
