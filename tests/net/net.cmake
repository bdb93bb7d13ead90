# The socket library against real loopback peers (private network: it binds
# several 127.0.0.x addresses and reaches the namespace's silent sink).
quill_add_test(NAME net_socket NET TIMEOUT 60 SOURCES SocketTest.cpp LIBS net)
