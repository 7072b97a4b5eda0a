#pragma once
// A YAML document read by libyaml into a small tree, so tests can read the
// ROS and Kalibr files we write with an independent YAML parser.

#include <yaml.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct YamlNode {
  std::string scalar;
  std::vector<YamlNode> items;             // a sequence
  std::map<std::string, YamlNode> fields;  // a mapping
  bool isMap = false;
  bool isSeq = false;

  const YamlNode& operator[](const std::string& key) const {
    const auto it = fields.find(key);
    if (it == fields.end()) throw std::runtime_error("no key " + key);
    return it->second;
  }
  const YamlNode& operator[](size_t i) const { return items.at(i); }
  double Number() const { return std::stod(scalar); }
  std::vector<double> Numbers() const {
    std::vector<double> values;
    for (const YamlNode& item : items) values.push_back(item.Number());
    return values;
  }
};

class YamlReader {
 public:
  // Throws std::runtime_error on a parse error.
  static YamlNode ReadFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) throw std::runtime_error("cannot open " + path);
    YamlReader reader;
    yaml_parser_set_input_file(&reader.parser_, file.get());
    yaml_event_t event;
    reader.Next(event);  // stream start
    yaml_event_delete(&event);
    reader.Next(event);  // document start
    yaml_event_delete(&event);
    reader.Next(event);
    return reader.Build(event);
  }
  ~YamlReader() { yaml_parser_delete(&parser_); }

 private:
  YamlReader() { yaml_parser_initialize(&parser_); }

  void Next(yaml_event_t& event) {
    if (!yaml_parser_parse(&parser_, &event))
      throw std::runtime_error(std::string("YAML error: ") + (parser_.problem ? parser_.problem : "?") + " at line " +
                               std::to_string(parser_.problem_mark.line + 1));
  }

  // Builds the node that `event` starts (and deletes the event).
  YamlNode Build(yaml_event_t& event) {
    YamlNode node;
    if (event.type == YAML_SCALAR_EVENT) {
      node.scalar.assign(reinterpret_cast<const char*>(event.data.scalar.value), event.data.scalar.length);
      yaml_event_delete(&event);
      return node;
    }
    const bool map = event.type == YAML_MAPPING_START_EVENT;
    if (!map && event.type != YAML_SEQUENCE_START_EVENT) throw std::runtime_error("unexpected YAML event");
    yaml_event_delete(&event);
    node.isMap = map;
    node.isSeq = !map;
    for (;;) {
      yaml_event_t next;
      Next(next);
      if (next.type == YAML_MAPPING_END_EVENT || next.type == YAML_SEQUENCE_END_EVENT) {
        yaml_event_delete(&next);
        return node;
      }
      YamlNode child = Build(next);
      if (!map) {
        node.items.push_back(std::move(child));
        continue;
      }
      yaml_event_t valueEvent;
      Next(valueEvent);
      node.fields[child.scalar] = Build(valueEvent);
    }
  }

  yaml_parser_t parser_;
};
