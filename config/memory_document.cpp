#include "config/memory_document.h"

#include "plugin/dvrplugin.h"

void buildMemoryDocument(bool throttling, int64_t wallSeconds, XmlDocument &document)
{
    TiXmlDocument &model = document.model();
    model.LinkEndChild(new TiXmlDeclaration("", "", ""));
    TiXmlNode *qarn = model.LinkEndChild(new TiXmlElement("Qarn"));
    TiXmlElement *memory = qarn->LinkEndChild(new TiXmlElement("Memory"))->ToElement();
    memory->SetAttribute("ID", static_cast<int>(DVR_PROVIDER_CORE));
    memory->SetAttribute("Throttling", throttling ? 1 : 0);
    memory->SetAttribute("Time", static_cast<int>(static_cast<uint32_t>(wallSeconds)));
}
