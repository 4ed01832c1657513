# Headless front end scenario; see cli_downloads.sh.
. "$here/cli_downloads.sh"
