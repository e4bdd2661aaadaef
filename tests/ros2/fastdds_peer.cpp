// A ROS 2 peer on another DDS implementation, for the tests: it subscribes
// to (or publishes) topics by DDS topic and type name alone, as ROS 2 nodes
// match, and moves the serialised samples (CDR with its encapsulation
// header) between the network and a file, so that the test decodes them with
// a decoder independent of the publisher's.
//
//   fastdds_peer sub|pub --domain D --pid P [--best-effort] [--transient-local]
//                [--seconds S] [--count N] --file F TOPIC=TYPE[@transient_local]...
//
// File records: u32 topic index, u32 length, payload (little-endian).
// sub prints `matched` once each reader has a writer, and stops after N
// samples in all or S seconds; pub waits for a reader of
// every topic, writes each record in order, waits for the acknowledgements.
// Discovery is unicast on 127.0.0.1 only: the peer listens on the well-known
// ports of participant P and looks for peers on those of participants 0-4.
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastrtps/utils/IPLocator.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace eprosima::fastdds::dds;
using eprosima::fastrtps::rtps::IPLocator;
using eprosima::fastrtps::rtps::Locator_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;
using eprosima::fastrtps::rtps::InstanceHandle_t;

namespace {

struct Raw {
    std::vector<unsigned char> bytes;
};

// A type that is only a name: the payload passes through untouched.
class RawType final : public TopicDataType {
public:
    explicit RawType(const std::string& name)
    {
        setName(name.c_str());
        m_typeSize = 8u << 20;
        m_isGetKeyDefined = false;
        auto_fill_type_object(false);
        auto_fill_type_information(false);
    }

    bool serialize(void* data, SerializedPayload_t* payload) override
    {
        const auto& bytes = static_cast<Raw*>(data)->bytes;
        if (bytes.size() < 4 || bytes.size() > payload->max_size)
            return false;
        std::memcpy(payload->data, bytes.data(), bytes.size());
        payload->length = static_cast<uint32_t>(bytes.size());
        payload->encapsulation = bytes[1] == 1 ? CDR_LE : CDR_BE;
        return true;
    }

    bool deserialize(SerializedPayload_t* payload, void* data) override
    {
        static_cast<Raw*>(data)->bytes.assign(payload->data, payload->data + payload->length);
        return true;
    }

    std::function<uint32_t()> getSerializedSizeProvider(void* data) override
    {
        auto* raw = static_cast<Raw*>(data);
        return [raw]() { return static_cast<uint32_t>(raw->bytes.size()); };
    }

    void* createData() override { return new Raw(); }
    void deleteData(void* data) override { delete static_cast<Raw*>(data); }
    bool getKey(void*, InstanceHandle_t*, bool) override { return false; }
};

// Prints each participant found with its USER_DATA, for the tests to read.
class Announcer final : public DomainParticipantListener {
public:
    void on_participant_discovery(DomainParticipant*,
                                  eprosima::fastrtps::rtps::ParticipantDiscoveryInfo&& info) override
    {
        if (info.status != eprosima::fastrtps::rtps::ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT)
            return;
        const auto& data = info.info.m_userData.data_vec();
        std::string text(data.begin(), data.end());
        std::printf("participant userdata=%s\n", text.c_str());
        std::fflush(stdout);
    }
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: fastdds_peer sub|pub --domain D --pid P [--best-effort] "
                         "[--transient-local] [--seconds S] [--count N] --file F TOPIC=TYPE...\n");
    std::exit(2);
}

bool readRecord(std::FILE* f, uint32_t& topic, std::vector<unsigned char>& bytes)
{
    unsigned char head[8];
    if (std::fread(head, 1, 8, f) != 8)
        return false;
    topic = head[0] | head[1] << 8 | head[2] << 16 | uint32_t(head[3]) << 24;
    uint32_t n = head[4] | head[5] << 8 | head[6] << 16 | uint32_t(head[7]) << 24;
    bytes.resize(n);
    return std::fread(bytes.data(), 1, n, f) == n;
}

void writeRecord(std::FILE* f, uint32_t topic, const std::vector<unsigned char>& bytes)
{
    uint32_t n = static_cast<uint32_t>(bytes.size());
    unsigned char head[8] = {
        static_cast<unsigned char>(topic), static_cast<unsigned char>(topic >> 8),
        static_cast<unsigned char>(topic >> 16), static_cast<unsigned char>(topic >> 24),
        static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
        static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
    std::fwrite(head, 1, 8, f);
    std::fwrite(bytes.data(), 1, n, f);
    std::fflush(f);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        usage();
    const std::string mode = argv[1];
    if (mode != "sub" && mode != "pub")
        usage();
    int domain = 0, pid = 10;
    bool reliable = true, transientLocal = false;
    double seconds = 30;
    long count = -1;
    std::string file;
    std::vector<std::pair<std::string, std::string>> topics;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--domain")
            domain = std::atoi(value().c_str());
        else if (a == "--pid")
            pid = std::atoi(value().c_str());
        else if (a == "--best-effort")
            reliable = false;
        else if (a == "--transient-local")
            transientLocal = true;
        else if (a == "--seconds")
            seconds = std::atof(value().c_str());
        else if (a == "--count")
            count = std::atol(value().c_str());
        else if (a == "--file")
            file = value();
        else if (a.find('=') != std::string::npos)
            topics.emplace_back(a.substr(0, a.find('=')), a.substr(a.find('=') + 1));
        else
            usage();
    }
    if (file.empty() || topics.empty())
        usage();

    DomainParticipantQos pq;
    pq.name("fastdds_peer");
    pq.transport().use_builtin_transports = false;
    auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
    udp->interfaceWhiteList.push_back("127.0.0.1");
    udp->receiveBufferSize = 4u << 20;
    udp->sendBufferSize = 4u << 20;
    pq.transport().user_transports.push_back(udp);
    // A unicast discovery locator of our own: no multicast at all.
    Locator_t meta;
    IPLocator::setIPv4(meta, 127, 0, 0, 1);
    meta.port = static_cast<uint32_t>(7400 + 250 * domain + 10 + 2 * pid);
    pq.wire_protocol().builtin.metatrafficUnicastLocatorList.push_back(meta);
    Locator_t peers;
    IPLocator::setIPv4(peers, 127, 0, 0, 1);
    pq.wire_protocol().builtin.initialPeersList.push_back(peers);
    pq.wire_protocol().participant_id = pid;

    Announcer announcer;
    DomainParticipant* participant = DomainParticipantFactory::get_instance()->create_participant(
        static_cast<DomainId_t>(domain), pq, &announcer);
    if (participant == nullptr) {
        std::fprintf(stderr, "fastdds_peer: cannot create a participant\n");
        return 1;
    }

    Subscriber* subscriber = nullptr;
    Publisher* publisher = nullptr;
    std::vector<DataReader*> readers;
    std::vector<DataWriter*> writers;
    for (auto [name, type] : topics) {
        // TYPE@transient_local: that topic's endpoint keeps (or asks for) history.
        bool keep = transientLocal;
        const std::string suffix = "@transient_local";
        if (type.size() > suffix.size() && type.compare(type.size() - suffix.size(), suffix.size(), suffix) == 0) {
            type.resize(type.size() - suffix.size());
            keep = true;
        }
        TypeSupport support(new RawType(type));
        support.register_type(participant);
        Topic* topic = participant->create_topic(name, type, TOPIC_QOS_DEFAULT);
        if (topic == nullptr) {
            std::fprintf(stderr, "fastdds_peer: cannot create topic %s\n", name.c_str());
            return 1;
        }
        if (mode == "sub") {
            if (subscriber == nullptr)
                subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
            DataReaderQos q = DATAREADER_QOS_DEFAULT;
            q.reliability().kind = reliable ? RELIABLE_RELIABILITY_QOS : BEST_EFFORT_RELIABILITY_QOS;
            q.durability().kind = keep ? TRANSIENT_LOCAL_DURABILITY_QOS : VOLATILE_DURABILITY_QOS;
            q.history().kind = KEEP_LAST_HISTORY_QOS;
            q.history().depth = 100;
            q.endpoint().history_memory_policy = eprosima::fastrtps::rtps::DYNAMIC_RESERVE_MEMORY_MODE;
            q.data_sharing().off();
            readers.push_back(subscriber->create_datareader(topic, q));
        } else {
            if (publisher == nullptr)
                publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT);
            DataWriterQos q = DATAWRITER_QOS_DEFAULT;
            q.reliability().kind = reliable ? RELIABLE_RELIABILITY_QOS : BEST_EFFORT_RELIABILITY_QOS;
            q.durability().kind = keep ? TRANSIENT_LOCAL_DURABILITY_QOS : VOLATILE_DURABILITY_QOS;
            q.history().kind = KEEP_LAST_HISTORY_QOS;
            q.history().depth = 100;
            q.endpoint().history_memory_policy = eprosima::fastrtps::rtps::DYNAMIC_RESERVE_MEMORY_MODE;
            q.data_sharing().off();
            writers.push_back(publisher->create_datawriter(topic, q));
        }
        if ((mode == "sub" && readers.back() == nullptr) || (mode == "pub" && writers.back() == nullptr)) {
            std::fprintf(stderr, "fastdds_peer: cannot create an endpoint on %s\n", name.c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    int rc = 0;
    if (mode == "sub") {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (out == nullptr)
            return 1;
        // Samples written before a reader knows their writer are not its
        // to have (volatile): say when every reader has one.
        for (auto* r : readers) {
            SubscriptionMatchedStatus status;
            while (r->get_subscription_matched_status(status) == ReturnCode_t::RETCODE_OK &&
                   status.current_count == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::printf("matched\n");
        std::fflush(stdout);
        long got = 0;
        Raw raw;
        SampleInfo info;
        while ((count < 0 || got < count) && std::chrono::steady_clock::now() < deadline) {
            bool any = false;
            for (size_t i = 0; i < readers.size(); ++i) {
                while (readers[i]->take_next_sample(&raw, &info) == ReturnCode_t::RETCODE_OK) {
                    if (!info.valid_data)
                        continue;
                    writeRecord(out, static_cast<uint32_t>(i), raw.bytes);
                    ++got;
                    any = true;
                }
            }
            if (!any)
                readers[0]->wait_for_unread_message(eprosima::fastrtps::Duration_t(0, 2000000));
        }
        std::fclose(out);
        std::printf("received %ld\n", got);
    } else {
        std::FILE* in = std::fopen(file.c_str(), "rb");
        if (in == nullptr)
            return 1;
        for (auto* w : writers) {
            PublicationMatchedStatus status;
            while (w->get_publication_matched_status(status) == ReturnCode_t::RETCODE_OK &&
                   status.current_count == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (status.current_count == 0) {
                std::fprintf(stderr, "fastdds_peer: no reader of %s\n", w->get_topic()->get_name().c_str());
                return 1;
            }
        }
        // Readers' own matching of our writers may lag behind ours.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        uint32_t index;
        Raw raw;
        long sent = 0;
        while (readRecord(in, index, raw.bytes)) {
            if (index >= writers.size() || !writers[index]->write(&raw))
                rc = 1;
            ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::fclose(in);
        for (auto* w : writers)
            w->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(10, 0));
        std::printf("sent %ld\n", sent);
    }
    std::fflush(stdout);
    participant->delete_contained_entities();
    DomainParticipantFactory::get_instance()->delete_participant(participant);
    return rc;
}
