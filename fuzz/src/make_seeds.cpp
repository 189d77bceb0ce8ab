// Writes the fuzz seed corpora, a few KB each, from a sample set written by `drone_samples`:
// the start of its flight recording as small bags in each compression (Livox frames cut to a
// few points, chunks small enough that every bag has several), the first points of its void
// cloud and of a keyframe in each PCD data kind, and its two missions unchanged.
//   drone_fuzz_seeds SAMPLE_DIR CORPUS_DIR    (writes CORPUS_DIR/{bag,pcd,mission}/)
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 3;           // Livox frames per seed bag
constexpr int kFramePoints = 6;      // points kept of each frame
constexpr int kOtherMessages = 6;    // messages of other topics per seed bag
constexpr size_t kCloudPoints = 24;  // points kept of each cloud (the volume needs 20)

void write_bag(const std::string& flight, const std::string& path,
               rosbag::compression::CompressionType compression) {
  rosbag::Bag in(flight, rosbag::bagmode::Read);
  rosbag::Bag out(path, rosbag::bagmode::Write);
  out.setCompression(compression);
  out.setChunkThreshold(4096);
  int frames = 0, others = 0;
  for (const rosbag::MessageInstance& m : rosbag::View(in)) {
    if (auto frame = m.instantiate<livox_ros_driver2::CustomMsg>()) {
      if (frames++ == kFrames) continue;
      frame->points.resize(kFramePoints);
      frame->point_num = kFramePoints;
      out.write(m.getTopic(), m.getTime(), *frame, m.getConnectionHeader());
    } else if (others++ < kOtherMessages) {
      out.write(m.getTopic(), m.getTime(), m, m.getConnectionHeader());
    }
    if (frames >= kFrames && others >= kOtherMessages) break;
  }
}

template <class Point>
void write_clouds(const std::string& source, const std::string& stem) {
  pcl::PointCloud<Point> cloud;
  if (pcl::io::loadPCDFile(source, cloud) != 0) throw std::runtime_error("cannot read " + source);
  cloud.resize(kCloudPoints);
  cloud.width = kCloudPoints;
  cloud.height = 1;
  pcl::PCDWriter writer;
  if (writer.writeASCII(stem + "_ascii.pcd", cloud) != 0 ||
      writer.writeBinary(stem + "_binary.pcd", cloud) != 0 ||
      writer.writeBinaryCompressed(stem + "_compressed.pcd", cloud) != 0) {
    throw std::runtime_error("cannot write " + stem);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "Usage: drone_fuzz_seeds SAMPLE_DIR CORPUS_DIR\n";
    return 2;
  }
  try {
    const std::string samples = argv[1], corpus = argv[2];
    for (const char* kind : {"bag", "pcd", "mission"}) fs::create_directories(corpus + "/" + kind);
    const std::string flight = samples + "/flight.bag";
    write_bag(flight, corpus + "/bag/livox_plain.bag", rosbag::compression::Uncompressed);
    write_bag(flight, corpus + "/bag/livox_bz2.bag", rosbag::compression::BZ2);
    write_bag(flight, corpus + "/bag/livox_lz4.bag", rosbag::compression::LZ4);
    write_clouds<pcl::PointXYZ>(samples + "/void.pcd", corpus + "/pcd/void");
    write_clouds<pcl::PointXYZI>(samples + "/site/scan/1.pcd", corpus + "/pcd/keyframe");
    for (const char* name : {"mission_ok.json", "mission_bad.json"}) {
      fs::copy_file(samples + "/" + name, corpus + "/mission/" + name,
                    fs::copy_options::overwrite_existing);
    }
  } catch (const std::exception& e) {
    std::cerr << "drone_fuzz_seeds: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
