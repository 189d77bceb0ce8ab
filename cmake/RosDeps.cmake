# Imported targets for Debian's ROS 1 libraries, whose CMake configs only set variables.
#   drone::ros_bag_storage  rosbag_storage with the time, serialisation and common libraries it needs
#   drone::ros_msgs         message headers of std_msgs and sensor_msgs with their serialisation
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
