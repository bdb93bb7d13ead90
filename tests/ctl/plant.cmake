# explorerctl scan against thousands of devices: as uid 65534 on a stock
# system's receive-buffer limit (the stock-limits preload), and --max.
quill_add_test(NAME ctl_plant_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/PlantTest.cpp
               LIBS ctl_test_support net ${CMAKE_DL_LIBS} NET TIMEOUT 180)
add_dependencies(ctl_plant_test explorerctl devicesim stock_rcvbuf)
