// The PC-side steps of the main loop; there is nothing to do on that side.
#pragma once

void pc_sm_init();
void pc_sm();
