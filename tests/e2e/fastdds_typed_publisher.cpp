// A Fast DDS publisher (Debian's libfastrtps-dev) whose type travels in its discovery record: a
// type built with DynamicTypes, which Fast DDS 2.9 announces with a complete type object (and
// serves to no type lookup). fastdds_typed_publisher COUNT [SECONDS]: once a reader has matched a
// reliable writer on topic "TypedReading", it writes COUNT samples of typed::Reading
// { @key long id; double x; double y; long level; string label; }, sample n (from 1) holding id
// n % 3, x n + 0.5, y -n, level 10 n and label "reading n"; it prints "published COUNT" once they
// are acknowledged. Flat, as Fast DDS sends no object for a nested type and answers no request.
#include <fastrtps/types/DynamicData.h>
#include <fastrtps/types/DynamicDataFactory.h>
#include <fastrtps/types/DynamicPubSubType.h>
#include <fastrtps/types/DynamicTypeBuilder.h>
#include <fastrtps/types/DynamicTypeBuilderFactory.h>
#include <fastrtps/types/DynamicTypeBuilderPtr.h>

#include <cstdlib>
#include <string>

#include "e2e/fastdds_publishing.hpp"

using namespace eprosima::fastdds::dds;
using namespace eprosima::fastrtps::types;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fastdds_typed_publisher COUNT [SECONDS]\n");
    return 2;
  }
  const auto count = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 60;

  DynamicTypeBuilderFactory* factory = DynamicTypeBuilderFactory::get_instance();
  DynamicTypeBuilder_ptr reading = factory->create_struct_builder();
  reading->add_member(0, "id", factory->create_int32_type());
  reading->apply_annotation_to_member(0, ANNOTATION_KEY_ID, "value", "true");
  reading->add_member(1, "x", factory->create_float64_type());
  reading->add_member(2, "y", factory->create_float64_type());
  reading->add_member(3, "level", factory->create_int32_type());
  reading->add_member(4, "label", factory->create_string_type());
  reading->set_name("typed::Reading");
  DynamicType_ptr type = reading->build();

  auto* pub_sub_type = new DynamicPubSubType(type);
  pub_sub_type->auto_fill_type_information(true);
  pub_sub_type->auto_fill_type_object(true);
  DynamicData* data = DynamicDataFactory::get_instance()->create_data(type);

  DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
  qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
  qos.history().kind = KEEP_ALL_HISTORY_QOS;
  const int status = nimbrel::testing::publish_once_matched(
      pub_sub_type, "TypedReading", qos, count, std::chrono::seconds(seconds),
      [data](DataWriter& writer, std::uint32_t n) {
        data->set_int32_value(static_cast<std::int32_t>(n % 3), 0);
        data->set_float64_value(n + 0.5, 1);
        data->set_float64_value(-static_cast<double>(n), 2);
        data->set_int32_value(static_cast<std::int32_t>(10 * n), 3);
        data->set_string_value("reading " + std::to_string(n), 4);
        return writer.write(data);
      });
  DynamicDataFactory::get_instance()->delete_data(data);
  return status;
}
