#pragma once

#include <string>
#include <string_view>

#include "collector/message_decoder.hpp"
#include "collector/output_queue.hpp"

struct fstrm_writer;

namespace tarn::collector {

// Appends the record as one Dnstap message (one item): CLIENT_QUERY or CLIENT_RESPONSE by the
// QR bit, the device as query address, the server as response address, the record's time and
// DNS bytes on the query or response side. identity names the agent connection, version is
// the text of its version frame (left out while there is none).
void append_dnstap(Batch& batch, const Message& message, std::string_view identity,
                   std::string_view version);

// Frame Streams of protobuf:dnstap.Dnstap through libfstrm: a file for PATH, a receiver for
// unix:PATH or tcp:ADDR:PORT (bidirectional handshake, opened again after a failure).
class DnstapSink : public Sink {
  public:
    // A file is created here; throws std::runtime_error for a bad target or an unwritable file.
    explicit DnstapSink(const std::string& target);
    ~DnstapSink() override;
    DnstapSink(const DnstapSink&) = delete;
    DnstapSink& operator=(const DnstapSink&) = delete;

    bool open() override;
    bool write(const Batch& batch) override;
    void close() override;
    bool reopens() const override { return receiver; }
    std::string error() const override { return "dnstap " + target + " write failed"; }

  private:
    std::string target;
    bool receiver = false;
    int reported = -1;  // the receiver's state last reported: a change gets one line, not a retry
    fstrm_writer* writer = nullptr;
};

}  // namespace tarn::collector
