# Board scenario; see board_runs.sh.
. "$here/board_runs.sh"
