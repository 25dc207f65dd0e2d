# The demo in one command: scripts/demo and scripts/demo --tls, which build fernd in build/demo
# first, and the curl and poplib lines they print; two demos on one port, and on two.
fernd_e2e_classes(demo demo_tls.py 900)
fernd_e2e_classes(demo demo_port.py 900)
# They all build in the same build/demo: one at a time.
set_tests_properties(e2e.demo.DemoTlsTest e2e.demo.DemoPortTest
                     PROPERTIES RESOURCE_LOCK fernd_demo_build)
