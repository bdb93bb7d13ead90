# The guard of the simulator and the network tests (runs anywhere: it only
# looks, it never sends).
quill_add_test(NAME tools_private_network SOURCES PrivateNetworkTest.cpp TIMEOUT 30)
