#include "dag/mermaid.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core_support.hpp"

namespace pelmo {
namespace {

using testing::labelled_node;
using testing::NodeSpec;

std::string render(std::vector<NodeSpec> nodes) {
  return to_mermaid_text(testing::dag_of_specs(std::move(nodes)));
}

TEST(MermaidText, EmptyDagIsTheHeaderAlone) { EXPECT_EQ(render({}), "graph TD\n"); }

TEST(MermaidText, WorkedExample) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(labelled_node(0, "Load", {}, {}, {{"data", "raw"}}));
  nodes.push_back(
      labelled_node(1, std::nullopt, {0}, {{"raw", "x"}}, {{"y", "clean"}, {"z", "stats"}}));
  nodes.push_back(labelled_node(2, "Scale A", {1}, {{"clean", "x"}}, {{"scaled", "result"}}));
  nodes.push_back(
      labelled_node(3, "Scale B", {1}, {{"clean", "x"}, {"stats", "s"}}, {{"scaled", "result"}}));
  nodes.push_back(
      labelled_node(4, "Report", {0, 3, 3}, {{"raw", "data"}, {"result", "r"}, {"other", "o"}}));
  nodes[2].is_branch = nodes[3].is_branch = true;
  nodes[2].variant_index = 0;
  nodes[3].variant_index = 1;

  EXPECT_EQ(render(std::move(nodes)),
            "graph TD\n"
            "    0[\"Load\"]\n"
            "    1[\"Node 1\"]\n"
            "    2[\"Scale A\"]\n"
            "    3[\"Scale B\"]\n"
            "    4[\"Report\"]\n"
            "    0 -->|raw \u2192 x| 1\n"
            "    1 -->|clean \u2192 x| 2\n"
            "    1 -->|clean \u2192 x<br/>stats \u2192 s| 3\n"
            "    0 -->|raw \u2192 data| 4\n"
            "    3 -->|result \u2192 r| 4\n"
            "    style 2 fill:#e1f5ff\n"
            "    style 3 fill:#e1f5ff\n"
            "    style 2 fill:#ffe1e1\n"
            "    style 3 fill:#e1ffe1\n");
}

TEST(MermaidText, ArrowLabelsNameWhatTheDependencyProduces) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(labelled_node(0, "P", {}, {}, {{"a", "left"}, {"b", "left"}, {"c", "right"}}));
  nodes.push_back(labelled_node(1, "Q", {0, 9}, {{"left", "l"}, {"right", "r"}}));
  nodes.push_back(labelled_node(2, "R", {0}, {{"unrelated", "u"}}));
  // The labels of one arrow come in the order of Q's inputs.
  EXPECT_EQ(render(std::move(nodes)),
            "graph TD\n    0[\"P\"]\n    1[\"Q\"]\n    2[\"R\"]\n"
            "    0 -->|left \u2192 l<br/>right \u2192 r| 1\n    9 --> 1\n    0 --> 2\n");
}

TEST(MermaidText, PlainLabelsAreVerbatimAndIdsNeedNotBePositions) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(labelled_node(1234567890123, "say hi<br/>it's <b>me</b> & 100% $x$ \u00e9", {},
                                {}, {{"o", "v-1 #a"}}));
  nodes.push_back(labelled_node(7, "", {1234567890123}, {{"v-1 #a", "a\nb `c` \\t"}}));
  nodes.push_back(labelled_node(3, std::nullopt, {7}));
  EXPECT_EQ(render(std::move(nodes)),
            "graph TD\n"
            "    1234567890123[\"say hi<br/>it's <b>me</b> & 100% $x$ \u00e9\"]\n"
            "    7[\" \"]\n"
            "    3[\"Node 3\"]\n"
            "    1234567890123 -->|v-1 #a \u2192 a\nb `c` \\t| 7\n"
            "    7 --> 3\n");
}

// What Mermaid would read as syntax where it stands is written as an entity
// code; the same character elsewhere, or without what completes it, is not.
TEST(MermaidText, CharactersMermaidWouldReadAreEntityCodes) {
  struct Case {
    std::string name;
    std::string in_box;
    std::string in_arrow;
  };
  const std::vector<Case> cases = {
      {"say \"hi\"", "say #quot;hi#quot;", "say #quot;hi#quot;"},
      {"a|b (c) [d] {e} @f", "a|b (c) [d] {e} @f", "a#124;b #40;c#41; #91;d#93; #123;e#125; #64;f"},
      {"#quot; #1; #_; # ; #;", "#35;quot; #35;1; #35;_; # ; #;", "#35;quot; #35;1; #35;_; # ; #;"},
      {"C:\\new\\tmp", "C:#92;new\\tmp", "C:#92;new\\tmp"},
      {"`md", "#96;md", "`md"},
      {"`md`", "`md`", "`md`"},
      {"``", "#96;`", "``"},
      {"$$x$$", "$$x$$", "#36;$x#36;$"},
      {" ~~~x", " ~~~x", " #126;~~x"},
      {"x~~~", "x~~~", "x~~~"},
      {"\u00b6\u00df \ufb02\u00b0", "\u00b6<wbr>\u00df \ufb02<wbr>\u00b0",
       "\u00b6<wbr>\u00df \ufb02<wbr>\u00b0"},
      {"style:#a;", "#115;tyle:#35;a;", "#115;tyle:#35;a;"},
      {"classDef x:a\"", "#99;lassDef x:a#quot;", "#99;lassDef x:a#quot;"},
      {"style: a\"", "style: a#quot;", "style: a#quot;"},
      {"style:x #a;", "style:x #35;a;", "style:x #35;a;"},
      {"style:\n#a;", "style:\n#35;a;", "style:\n#35;a;"},
      {"style:\nstyle:#a;", "#115;tyle:\n#115;tyle:#35;a;", "#115;tyle:\n#115;tyle:#35;a;"},
  };
  for (const Case& c : cases) {
    std::vector<NodeSpec> nodes;
    nodes.push_back(labelled_node(0, c.name, {}, {}, {{"o", c.name.c_str()}}));
    nodes.push_back(labelled_node(1, "B", {0}, {{c.name.c_str(), "x"}}));
    EXPECT_EQ(render(std::move(nodes)), "graph TD\n    0[\"" + c.in_box +
                                            "\"]\n    1[\"B\"]\n    0 -->|" + c.in_arrow +
                                            " \u2192 x| 1\n")
        << c.name;
  }
}

// Mermaid's style rewrite reads a whole line: "style" in one name and the
// rest of the pattern in another still count.
TEST(MermaidText, StylePatternAcrossTheNamesOfOneArrow) {
  std::vector<NodeSpec> nodes;
  nodes.push_back(labelled_node(0, "A", {}, {}, {{"o", "style"}, {"p", "x:#y;"}}));
  nodes.push_back(labelled_node(1, "B", {0}, {{"style", "s"}}));
  nodes.push_back(labelled_node(2, "C", {0}, {{"style", "s"}, {"x:#y;", "t"}}));
  const std::string text = render(std::move(nodes));
  EXPECT_NE(text.find("    0 -->|style \u2192 s| 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    0 -->|#115;tyle \u2192 s<br/>x:#35;y; \u2192 t| 2\n"), std::string::npos)
      << text;
}

TEST(MermaidText, BranchFillsComeFirstThenVariantFillsCycling) {
  std::vector<NodeSpec> nodes;
  for (NodeId id = 0; id < 6; ++id) {
    nodes.push_back(labelled_node(id, "V", {}));
    nodes.back().variant_index = static_cast<std::uint32_t>(id);
  }
  nodes.push_back(labelled_node(6, "B", {}));
  nodes[4].is_branch = nodes[6].is_branch = true;
  const std::string text = render(std::move(nodes));
  EXPECT_EQ(text.substr(text.find("    style")),
            "    style 4 fill:#e1f5ff\n"
            "    style 6 fill:#e1f5ff\n"
            "    style 0 fill:#ffe1e1\n"
            "    style 1 fill:#e1ffe1\n"
            "    style 2 fill:#ffe1ff\n"
            "    style 3 fill:#ffffe1\n"
            "    style 4 fill:#ffe1e1\n"
            "    style 5 fill:#e1ffe1\n");
}

}  // namespace
}  // namespace pelmo
