# Pipe-device download scenario; see pipe_downloads.sh.
. "$here/pipe_downloads.sh"
