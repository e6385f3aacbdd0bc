// The settings of one hybrid's data stream.
#pragma once

class DataStream {
  public:
    // A fresh stream: chip type 5, readout mode 1 (all channels), no neighbours.
    DataStream(int id, int nchip) : id_(id), nchip_(nchip) {}

    void copy(const DataStream& other) { *this = other; }

    int id() const { return id_; }
    int nchip() const { return nchip_; }
    int chip_type() const { return chip_type_; }
    int readout_mode() const { return readout_mode_; }
    int nadj() const { return nadj_; }

    void set_chip_type(int chip_type) { chip_type_ = chip_type; }
    void set_readout_mode(int readout_mode, int nadj) {
        readout_mode_ = readout_mode;
        nadj_ = nadj;
    }
    void set_nchip(int nchip) { nchip_ = nchip; }

  private:
    int id_;
    int nchip_;
    int chip_type_ = 5;
    int readout_mode_ = 1;
    int nadj_ = 0;
};

// Matches the stream with the given hybrid id.
struct data_stream_finder {
    explicit data_stream_finder(int id) : id(id) {}
    bool operator()(const DataStream* stream) const { return stream->id() == id; }

    int id;
};
