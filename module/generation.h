// The data of one event, drawn and laid out: one chip's pedestal block, the hit's channel and
// amplitude, the time value, and the data packet that carries them; and the wait before a
// trigger cycle. The generated events and the bench's bare loop both make theirs with these.
//
// The random draws, from the module's own sequence, come in a fixed order, which every start of
// the program repeats (see support/RandomSequence.h): per block, the common-mode offset then one
// Gaussian per channel; per event, the two amplitudes, the spot, the position pairs until one lands
// on the grid, then the time value. Changing that order changes every byte sent after it.
#pragma once

#include <cstdint>

#include "protocol/DataPacket.h"
#include "support/RandomSequence.h"

struct PedestalModel {
    double mean = 2024.0;  // ADC counts
    double noise = 5.0;    // sigma of each channel
    double common = 1.0;   // sigma of the offset shared by a chip's channels
};

// Fills `n` values (one chip) with pedestals: each a Gaussian around the mean plus the chip's
// common-mode offset, truncated toward zero, kept as its low 16 bits.
void fill_pedestal_block(RandomSequence& random, int16_t* values, int n,
                         const PedestalModel& model);

struct HitPlacement {
    int channel;
    double amplitude;
};

// Draws the hit of an event on `nchan` channels (at least one) seen as rows of
// side = ⌊√nchan⌋: one of two spots at (side/4, side/2) and (3·side/4, side/2), amplitude
// Gaussian around `signal_mean` (sigma 10) or a third of it, position Gaussian around the spot
// (sigma 4), rounded to a channel, drawn again until it is on the grid.
HitPlacement place_hit(RandomSequence& random, int nchan, double signal_mean);

// Adds the hit to its channel: the sum, read as unsigned, truncated and kept as 16 bits.
void add_hit(uint16_t* values, const HitPlacement& hit);

// The time value of an event: Gaussian, mean 25, sigma 5.
double draw_time_value(RandomSequence& random);

// The wait before a trigger cycle, in seconds: Gaussian around the period, sigma 10 %.
double draw_interval(RandomSequence& random, double period);

// The data packet of one stream's event in its readout mode, header and payload in place.
daq::DataPacket::Ptr assemble_event(int stream, int mode, int nadj, const uint16_t* values,
                                    int nchan, int hit_channel, uint16_t event, uint32_t time_stamp,
                                    double time_value);
