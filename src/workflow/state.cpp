#include "workflow/state.h"

namespace vqr {

WorkflowState& State() {
  static WorkflowState state;
  return state;
}

}  // namespace vqr
