// The control-pipe download tests, run under Wine against the same simulated service.
#include "../native/control_pipe_download_test.cpp"
