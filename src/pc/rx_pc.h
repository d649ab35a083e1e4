// PC selections turned into command frames for the CPU node.
#pragma once

#include <cstdint>

#include "pc/pc_records.h"

void send_cpu_change_exam(const PcToHub &msg);
void send_cpu_change_kV_mA(const PcToHub &msg);
void send_cpu_change_PatType(const PcToHub &msg);
void send_cpu_change_PatSize(const PcToHub &msg);
void send_cpu_change_PatDent(const PcToHub &msg);
void send_cpu_lock_kbd(uint8_t lock);
