#pragma once
// On/off state of the sustain (64), sostenuto (66) and soft (67) pedals as
// last sent. Receivers of the serial formats act on pedal changes only, so
// continuous pedal data is reduced to 0/127 transitions and repeats dropped.

#include <cstdint>

namespace tonvelo {

class PedalFilter {
 public:
  static bool IsSwitchPedal(uint8_t controller) {
    return controller == 64 || controller == 66 || controller == 67;
  }

  // For a switch pedal, turns `value` into 0 or 127 and returns true when
  // that is a change of state (which it records); false means drop the event.
  bool Pass(uint8_t controller, uint8_t& value) {
    uint8_t& on = state_[controller - 64];
    if (value < 64) {
      if (!on) return false;
      on = 0;
      value = 0;
    } else {
      if (on) return false;
      on = 1;
      value = 127;
    }
    return true;
  }

  void Reset() { state_[0] = state_[1] = state_[2] = state_[3] = 0; }

 private:
  uint8_t state_[4] = {};  // index controller - 64; 65 is never used
};

}  // namespace tonvelo
