// Which channel of a recording carries the event, told by matching: a camera's
// on-board microphone and a lavalier on its second input, or a recorder with
// another scene on input 1, have two channels full of sound, and only the
// landmarks of the one that was at the event meet those of other recordings.
#ifndef VELK_ENGINE_CHANNEL_CHOICE_H
#define VELK_ENGINE_CHANNEL_CHOICE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velk/landmark.h"

namespace Velk {

// The landmarks of one channel of recording `recording` (an index the caller
// chooses; the same for all channels of one recording).
struct ChannelLandmarks {
  std::size_t recording = 0;
  const VkFile* file = nullptr;
};

// For each candidate, the most landmarks it shares with any one file of
// another recording at one offset (a peak a few frames wide, as a drifting
// clock spreads it). Files of the candidate's own recording are not counted.
std::vector<uint32_t> bestMatchVotes(const std::vector<ChannelLandmarks>& candidates,
                                     const std::vector<ChannelLandmarks>& files);

// A channel meets another recording when at least this many of its landmarks
// do at one offset: chance coincidences between unrelated recordings give a
// handful of votes.
constexpr uint32_t kLeastChannelVotes = 12;

// Index among votes of the channel to analyse: the first (the one with most
// landmarks) unless another one matches clearly better.
std::size_t chosenChannel(const std::vector<uint32_t>& votes);

}  // namespace Velk

#endif
