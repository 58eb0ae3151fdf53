# SPDX-License-Identifier: MIT
"""rtsim, the simulated board for rtprobe: boards from files (board), the
board language (description), a console log's text (console), captures read
as a timeline (capture), the board they show and its check (replay), rtsim's
own rendering of the reports (reports), the address map (layout), the image
(image), the isolated run (isolation), the command line (cli)."""
