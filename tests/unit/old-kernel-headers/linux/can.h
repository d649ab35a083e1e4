/* The frame of linux/can.h as kernels before 5.11 declare it: no `len`,
 * only `can_dlc`. The codec is compiled against it (tests/unit/CMakeLists.txt). */
#ifndef _UAPI_CAN_H
#define _UAPI_CAN_H
#include <linux/types.h>
#define CAN_EFF_FLAG 0x80000000U
#define CAN_RTR_FLAG 0x40000000U
#define CAN_ERR_FLAG 0x20000000U
#define CAN_SFF_MASK 0x000007FFU
#define CAN_MAX_DLEN 8
typedef __u32 canid_t;
typedef __u32 can_err_mask_t;
struct can_frame {
    canid_t can_id;
    __u8 can_dlc;
    __u8 __pad;
    __u8 __res0;
    __u8 __res1;
    __u8 data[CAN_MAX_DLEN] __attribute__((aligned(8)));
};
#endif
