# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_RTPROBE_PATH)/package/*/*.mk))
