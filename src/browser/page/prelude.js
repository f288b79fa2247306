// Named elements shadow plain properties of a document (<form name="forms">, <img name="title">)
// and of a form (<input name="elements">), so both page functions read through the prototype getters.
  const getter = (proto, name) => Object.getOwnPropertyDescriptor(proto, name).get;
  const formsOf = getter(Document.prototype, 'forms');
  const elementsOf = getter(HTMLFormElement.prototype, 'elements');
  const urlOf = getter(Document.prototype, 'URL');
