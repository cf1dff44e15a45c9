// Building and reading typical messages.
#include "common/error.h"
#include "protocol/message_builder.h"
#include "protocol/message_reader.h"

#include <benchmark/benchmark.h>
#include <string>

namespace
{

const std::string CERT = "-----BEGIN CERTIFICATE-----\n" + std::string(560, 'M') + "\n-----END CERTIFICATE-----\n";

void BM_build_registration(benchmark::State& state)
{
    char buffer[QM_MSG_BUFFER_SIZE];
    for (auto _ : state) {
        bool ok = create_json_msg(21, buffer, "a1b2c3d4e5f60718293a4b5c6d7e8f90", "1234567890");
        benchmark::DoNotOptimize(ok);
    }
}

void BM_build_approval_query(benchmark::State& state)
{
    char buffer[QM_MSG_BUFFER_SIZE];
    for (auto _ : state) {
        bool ok = create_json_msg(8, buffer, CERT.c_str());
        benchmark::DoNotOptimize(ok);
    }
}

// A tunnel-details answer read as the credentials exchange reads it.
void BM_read_tunnel_details(benchmark::State& state)
{
    char buffer[QM_MSG_BUFFER_SIZE];
    create_json_msg(7, buffer, CERT.c_str(), CERT.c_str(), CERT.c_str());
    const std::string text = buffer;
    for (auto _ : state) {
        json_ptr root = parse_json_msg(text);
        if (!check_msg_version(root.get(), ""))
            state.SkipWithError("version");
        const cJSON* segment = get_first_segment(root.get());
        benchmark::DoNotOptimize(JSON_get_int(segment, "T"));
        assert_no_error(segment);
        const cJSON* payload = JSON_get_object(segment, "DT");
        std::string ca = JSON_get_string(payload, "7-1");
        std::string crt = JSON_get_string(payload, "7-2");
        std::string key = JSON_get_string(payload, "7-3");
        benchmark::DoNotOptimize(ca.size() + crt.size() + key.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_read_approval_answer(benchmark::State& state)
{
    const std::string text = R"({"H":{"V":113},"B":[{"T":9,"I":0,"ER":0,"DT":{"9-1":0,"9-2":30}}]})";
    for (auto _ : state) {
        json_ptr root = parse_json_msg(text);
        check_msg_version(root.get(), "");
        const cJSON* segment = get_first_segment(root.get());
        benchmark::DoNotOptimize(JSON_get_int(segment, "T") + get_segment_err_code(segment));
        const cJSON* payload = JSON_get_object(segment, "DT");
        benchmark::DoNotOptimize(JSON_get_int(payload, "9-1") + JSON_get_int(payload, "9-2"));
    }
}

} // namespace

BENCHMARK(BM_build_registration);
BENCHMARK(BM_build_approval_query);
BENCHMARK(BM_read_tunnel_details);
BENCHMARK(BM_read_approval_answer);

BENCHMARK_MAIN();
