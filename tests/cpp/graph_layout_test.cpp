// Our igraph core and python-igraph's must agree on the graph layout and the
// attribute record: read real python-igraph graphs through their capsules.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <string>

#include "graph/graph_reader.h"
#include "graph/vertex_kinds.h"

namespace py = pybind11;
using graph_attributes::graph_reader;

namespace {

class GraphLayout : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        interpreter_ = new py::scoped_interpreter();
        py::module_::import("sys").attr("path").attr("insert")(0, KOVRA_SITE_PACKAGES);
        igraph_errors::install();
    }
    static void TearDownTestSuite() {
        delete interpreter_;
        interpreter_ = nullptr;
    }

    // Runs `code`, which must bind `g`, and returns the graph object.
    py::object make_graph(const char* code) {
        py::dict scope;
        scope["igraph"] = py::module_::import("igraph");
        py::exec(code, scope);
        graph_ = scope["g"];
        capsule_ = graph_.attr("__graph_as_capsule")();
        return graph_;
    }
    const igraph_t* graph() { return capsule_.cast<py::capsule>().get_pointer<const igraph_t>(); }

    py::object graph_, capsule_;
    static py::scoped_interpreter* interpreter_;
};

py::scoped_interpreter* GraphLayout::interpreter_ = nullptr;

TEST_F(GraphLayout, CountsAndOneAttributeOfEachDictionary) {
    py::object g = make_graph(R"(
g = igraph.Graph(directed=True)
g.add_vertices(5)
g.add_edges([(0, 1), (1, 2), (2, 3), (3, 4), (0, 4), (1, 4)])
g["qnum"] = 3
g.vs["name"] = ["q0_3", "H", "CNOT", "X", "MEASURE"]
g.es["qubit"] = [0, 0, 1, 2, None, 1]
)");
    graph_reader reader(graph());
    EXPECT_EQ(reader.vertex_count(), py::len(g.attr("vs")));
    EXPECT_EQ(igraph_ecount(graph()), static_cast<int>(py::len(g.attr("es"))));
    EXPECT_EQ(reader.graph_number("qnum"), 3.0);
    EXPECT_EQ(reader.name(2), "CNOT");
    // Edges into vertex 4 are 3 (qubit 2), 4 (None) and 5 (qubit 1).
    EXPECT_EQ(reader.in_edge_numbers("qubit", 4), (std::vector<double>{2.0, 1.0}));
}

TEST_F(GraphLayout, NumberListsAndConversions) {
    make_graph(R"(
g = igraph.Graph(directed=True)
g.add_vertices(4)
g.vs["params"] = [[1, 2], None, [], [0.5, True]]
g.vs["name"] = [5, b"ab\x00cd", "x", None]
)");
    graph_reader reader(graph());
    EXPECT_EQ(reader.numbers("params", 0), (std::vector<double>{1.0, 2.0}));
    EXPECT_TRUE(reader.numbers("params", 1).empty());
    EXPECT_TRUE(reader.numbers("params", 2).empty());
    EXPECT_TRUE(reader.numbers("qubits", 0).empty());
    EXPECT_EQ(reader.numbers("params", 3), (std::vector<double>{0.5, 1.0}));
    EXPECT_EQ(reader.name(0), "5");
    // A NUL would make C code read the name as its prefix ("ab").
    try {
        reader.name(1);
        FAIL();
    } catch (const igraph_errors::graph_error& e) {
        EXPECT_NE(std::string(e.what()).find("NUL"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(GraphLayout, FailuresBecomeExceptionsWithIgraphReasons) {
    make_graph(R"(
g = igraph.Graph(directed=True)
g.add_vertices(3)
g.add_edges([(0, 1)])
g.vs["params"] = [["a"], 7, None]
)");
    graph_reader reader(graph());
    EXPECT_THROW(reader.name(0), igraph_errors::graph_error);
    try {
        reader.in_edge_numbers("clbit", 1);
        FAIL();
    } catch (const igraph_errors::graph_error& e) {
        EXPECT_NE(std::string(e.what()).find("No such attribute"), std::string::npos);
    }
    EXPECT_THROW(reader.numbers("params", 0), igraph_errors::graph_error);
    EXPECT_THROW(reader.numbers("params", 1), igraph_errors::graph_error);
    EXPECT_THROW(reader.graph_number("qnum"), std::runtime_error);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(GraphLayout, UnsortableGraphsAreReportedNotAborted) {
    make_graph("g = igraph.Graph([(0, 1), (1, 2), (2, 0)], directed=True)");
    EXPECT_THROW(graph_reader(graph()).topological_order(), igraph_errors::graph_error);
    make_graph("g = igraph.Graph([(0, 1)], directed=False)");
    try {
        graph_reader(graph()).topological_order();
        FAIL();
    } catch (const igraph_errors::graph_error& e) {
        EXPECT_NE(std::string(e.what()).find("undirected"), std::string::npos);
    }
    make_graph("g = igraph.Graph([(2, 0), (0, 1), (3, 1)], directed=True)");
    EXPECT_EQ(graph_reader(graph()).topological_order(), (std::vector<int>{2, 3, 0, 1}));
}

// The builder writes the kinds that both back ends read: a kind renumbered on
// one side only would turn gates into passed-over vertices.
TEST_F(GraphLayout, TheBuilderWritesTheKindsTheBackEndsRead) {
    py::module_::import("sys").attr("path").attr("insert")(0, KOVRA_PYTHON_DIR);
    py::module_ builder = py::module_::import("kovra.builder");
    EXPECT_EQ(builder.attr("GATE").cast<long>(), vertex_kinds::GATE);
    EXPECT_EQ(builder.attr("CALL").cast<long>(), vertex_kinds::CALL);
    EXPECT_EQ(builder.attr("REGISTER").cast<long>(), vertex_kinds::REGISTER);
    EXPECT_EQ(builder.attr("QUBIT").cast<long>(), vertex_kinds::QUBIT);
    EXPECT_EQ(builder.attr("CLBIT").cast<long>(), vertex_kinds::CLBIT);
}

}  // namespace
