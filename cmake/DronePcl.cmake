# drone::pcl: the point-cloud library, found once, the one way every target links it.
#
# Debian's PCL frees the Eigen-aligned memory of its clouds with plain free(), as Eigen does when
# malloc already aligns; code of ours that allocates such memory for PCL must do the same, also
# in sanitizer builds, where Eigen would otherwise switch to its own offset allocations and PCL
# would free a pointer malloc never returned. The PCL targets also carry every optional
# dependency of their component (VTK, OpenNI, ...); only the libraries really called stay needed.
find_package(PCL 1.10 REQUIRED COMPONENTS common io search features surface kdtree)

add_library(drone_pcl INTERFACE)
add_library(drone::pcl ALIAS drone_pcl)
target_link_libraries(drone_pcl INTERFACE
  pcl_common pcl_io pcl_search pcl_features pcl_surface pcl_kdtree)
target_compile_definitions(drone_pcl INTERFACE EIGEN_MALLOC_ALREADY_ALIGNED=1)
target_link_options(drone_pcl INTERFACE -Wl,--as-needed)
