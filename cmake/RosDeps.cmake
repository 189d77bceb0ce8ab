# Imported targets for Debian's ROS 1 libraries, whose CMake configs only set variables.
#   drone::ros_bag_storage  rosbag_storage with the time, serialisation and common libraries it needs
#   drone::ros_msgs         message headers of std_msgs and sensor_msgs with their serialisation
#   drone::bag_codecs       bz2 and roslz4, the codecs the bag library decompresses chunks with
find_package(rosbag_storage REQUIRED)
find_package(std_msgs REQUIRED)
find_package(sensor_msgs REQUIRED)
find_library(ROSTIME_LIBRARY rostime REQUIRED)
find_library(ROSCPP_SERIALIZATION_LIBRARY roscpp_serialization REQUIRED)
find_library(CPP_COMMON_LIBRARY cpp_common REQUIRED)

add_library(ros_bag_storage INTERFACE)
add_library(drone::ros_bag_storage ALIAS ros_bag_storage)
target_include_directories(ros_bag_storage SYSTEM INTERFACE ${rosbag_storage_INCLUDE_DIRS})
target_link_libraries(ros_bag_storage INTERFACE
  ${rosbag_storage_LIBRARIES} ${ROSTIME_LIBRARY} ${ROSCPP_SERIALIZATION_LIBRARY}
  ${CPP_COMMON_LIBRARY})

add_library(ros_msgs INTERFACE)
add_library(drone::ros_msgs ALIAS ros_msgs)
target_include_directories(ros_msgs SYSTEM INTERFACE
  ${std_msgs_INCLUDE_DIRS} ${sensor_msgs_INCLUDE_DIRS})
target_link_libraries(ros_msgs INTERFACE
  ${ROSTIME_LIBRARY} ${ROSCPP_SERIALIZATION_LIBRARY} ${CPP_COMMON_LIBRARY})

find_package(BZip2 REQUIRED)
find_library(ROSLZ4_LIBRARY roslz4 REQUIRED)
add_library(bag_codecs INTERFACE)
add_library(drone::bag_codecs ALIAS bag_codecs)
target_link_libraries(bag_codecs INTERFACE BZip2::BZip2 ${ROSLZ4_LIBRARY})
