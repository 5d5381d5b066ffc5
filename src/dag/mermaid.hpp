// Mermaid flowchart text of a Dag: a box per node, one arrow per distinct
// dependency labelled with the names that flow along it, and fill colours
// for branch and variant nodes. Reads the Dag only.
#pragma once

#include <string>

#include "dag/dag.hpp"

namespace pelmo {

std::string to_mermaid_text(const Dag& dag);

}  // namespace pelmo
