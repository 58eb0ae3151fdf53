# SPDX-License-Identifier: MIT
################################################################################
#
# rtprobe
#
################################################################################

RTPROBE_VERSION = 0.1.0
# A copy of the sources beside the external tree; or a release archive:
# RTPROBE_SITE = <URL of the release archives>
RTPROBE_SITE = $(BR2_EXTERNAL_RTPROBE_PATH)/src/rtprobe
RTPROBE_SITE_METHOD = local
RTPROBE_LICENSE = MIT
RTPROBE_LICENSE_FILES = LICENSE
# 4096: a kernel with 4 KiB pages; leave it out for one with 64 KiB pages.
RTPROBE_CONF_OPTS = -DRTPROBE_MAX_PAGE_SIZE=4096

$(eval $(cmake-package))
