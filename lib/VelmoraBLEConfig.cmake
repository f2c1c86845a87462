# find_package(VelmoraBLE CONFIG): the imported target VelmoraBLE::velmorable (libvelmorable.so and its header).
include("${CMAKE_CURRENT_LIST_DIR}/VelmoraBLETargets.cmake")
