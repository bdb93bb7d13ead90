# The socket library against real loopback peers (private network: it binds
# several 127.0.0.x addresses and reaches the namespace's silent sink).
quill_add_test(NAME net_socket NET TIMEOUT 60 SOURCES SocketTest.cpp LIBS net)

# Only net/ calls the system's socket functions. Each folder joins the list
# once its code has moved onto net/.
add_test(NAME net_only_net_calls_sockets
  COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/check-socket-calls.py ${PROJECT_SOURCE_DIR}
          explorer Quillbox tools)
# The check itself: it finds exactly the lines its samples mark "found".
add_test(NAME net_socket_call_check_finds_calls
  COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/check-socket-calls.py ${PROJECT_SOURCE_DIR}
          tests/net/socket-call-samples)
set_tests_properties(net_socket_call_check_finds_calls PROPERTIES
  PASS_REGULAR_EXPRESSION "plain.cpp:6: socket\\(\\).*plain.cpp:7: bind\\(\\).*plain.cpp:8: connect\\(\\).*plain.cpp:9: listen\\(\\).*plain.cpp:10: accept4\\(\\).*plain.cpp:19: recvfrom\\(\\).*window.cpp:11: connect\\(\\).*window.cpp:12: sendmsg\\(\\).*\n8 direct socket call")

# Interfaces without an address or carrier, and the nftables input chains,
# made inside the private network namespace.
quill_add_test(NAME net_system_state NET TIMEOUT 60 SOURCES SystemStateTest.cpp LIBS net)
