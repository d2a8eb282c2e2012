find_package(quillon 1.0 REQUIRED)
add_executable(quillon_consumer ${CMAKE_CURRENT_LIST_DIR}/../pkgconfig-consumer/quillon.cpp)
target_link_libraries(quillon_consumer PRIVATE quillon::quillon)
add_test(NAME quillon_consumer COMMAND quillon_consumer)
