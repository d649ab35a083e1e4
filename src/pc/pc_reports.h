// Reports to the PC: each updates its fields of G_HubToPc and sends the whole
// record; some are acknowledged to the CPU node.
#pragma once

#include <cstdint>

#include "can/can_frame.h"

void tcp_server_send_display_line(uint8_t line, uint8_t segment, const uint8_t *text, uint8_t ack);
void tcp_server_send_exam_param(CanFrame frame);
void tcp_server_send_test_sel(CanFrame frame);
void tcp_server_send_exam_status(uint8_t status);
void tcp_server_send_start_time();
void tcp_server_send_calibration_time();
void tcp_server_set_calibration_time();

// Queues the acknowledge frame 22, item for the CPU node.
void can_send_ack(uint8_t item);
