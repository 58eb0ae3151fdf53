################################################################################
#
# rtprobe
#
################################################################################

# SPDX-License-Identifier: MIT
# (Below Buildroot's header block, which must open the file.)

RTPROBE_VERSION = 0.2.0
# The project tree this external tree is part of (integration/buildroot).
# To build a release archive instead, replace RTPROBE_SITE, _SITE_METHOD and
# _OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS below with
#   RTPROBE_SITE = <URL of the folder holding rtprobe-$(RTPROBE_VERSION).tar.gz>
# and add the archive's sha256 line to rtprobe.hash.
RTPROBE_SITE = $(BR2_EXTERNAL_RTPROBE_PATH)/../..
RTPROBE_SITE_METHOD = local
# The local copy leaves out the tree's own build folders.
RTPROBE_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude=/build
RTPROBE_LICENSE = MIT
RTPROBE_LICENSE_FILES = LICENSE
# 4096: a kernel with 4 KiB pages; leave it out for one with 64 KiB pages.
RTPROBE_CONF_OPTS = -DRTPROBE_MAX_PAGE_SIZE=4096

$(eval $(cmake-package))
