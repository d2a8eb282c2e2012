find_package(transports 1.0 REQUIRED)
add_executable(transports_consumer ${CMAKE_CURRENT_LIST_DIR}/../pkgconfig-consumer/transports.cpp)
target_link_libraries(transports_consumer PRIVATE transports::transports)
add_test(NAME transports_consumer COMMAND transports_consumer)
