// The driver client and DriverRequest tests, run under Wine against the same simulated service.
#include "../native/driver_client_test.cpp"
