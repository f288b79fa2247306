// The page as the capture sees it: {title, url, forms: [[[tagName, type, name, value, checked]]]}.
  const titleOf = getter(Document.prototype, 'title');
  const text = (v) => (v === undefined || v === null) ? '' : String(v);
  const read = (el, name) => { try { return el[name]; } catch (e) { return undefined; } };
  const forms = [];
  const formList = formsOf.call(document);
  for (let i = 0; i < formList.length; i++) {
    const elementList = elementsOf.call(formList[i]);
    const elements = [];
    for (let j = 0; j < elementList.length; j++) {
      const el = elementList[j];
      elements.push([text(read(el, 'tagName')), text(read(el, 'type')), text(read(el, 'name')),
                     text(read(el, 'value')), read(el, 'checked') === true]);
    }
    forms.push(elements);
  }
  return {title: text(titleOf.call(document)), url: text(urlOf.call(document)), forms};
