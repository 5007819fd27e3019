# The loopback update hosts of the test builds, in one place. Sourced by the
# test, demo and benchmark commands; tests/e2e/harness.py reads the ports.
# The primary and fallback ports are compiled into test builds; the spare one
# is a host that only an index's configuration names.
TSL_PRIMARY_PORT=18301
TSL_FALLBACK_PORT=18302
TSL_SPARE_PORT=18303
# CMake options that compile those hosts in.
tsl_test_hosts=(-DTSL_PRIMARY_URL=http://127.0.0.1:$TSL_PRIMARY_PORT/tsl/
                -DTSL_FALLBACK_URL=http://127.0.0.1:$TSL_FALLBACK_PORT/tsl/)
